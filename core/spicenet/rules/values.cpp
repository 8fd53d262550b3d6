// Values of SPICE parameters (see values.hpp).
#include "values.hpp"

#include <string>

#include "bound.hpp"
#include "diagnostics.hpp"
#include "literals.hpp"
#include "lines.hpp"
#include "net_maps.hpp"
#include "number_parse.hpp"
#include "text_unicode.hpp"

namespace spicenet {

// --- named values -----------------------------------------------------------------

Named::Named(PyObject* base, PyObject* overlay) : base_(base), overlay_(overlay) {
    // A settings object that is not a plain dict is read the way dict.update reads it.
    if (overlay_ && !PyDict_CheckExact(overlay_)) (void)dict();
}

Ref Named::find(PyObject* key) const {
    if (merged_) return kv::dict_get(merged_.get(), key);
    if (overlay_) {
        if (Ref value = kv::dict_get(overlay_, key)) return value;
    }
    return base_ ? kv::dict_get(base_, key) : Ref();
}

PyObject* Named::dict() const {
    if (merged_) return merged_.get();
    if (!overlay_ && base_) return base_;
    merged_ = base_ ? kv::own(PyDict_Copy(base_)) : kv::new_dict();
    if (overlay_) {
        if (PyDict_CheckExact(overlay_)) kv::ok(PyDict_Update(merged_.get(), overlay_));
        else (void)kv::call_method(merged_.get(), "update", {overlay_});
    }
    return merged_.get();
}

NamedArgs bind_named(const char* func, std::initializer_list<kv::Param> params, PyObject* const* args,
                     Py_ssize_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const auto count = static_cast<Py_ssize_t>(params.size());
    if (nargs != count) kv::raise_arg_count(func, true, count, count, nargs);
    NamedArgs out;
    out.named = kv::new_dict();
    for (Py_ssize_t k = 0, n = kwnames ? PyTuple_GET_SIZE(kwnames) : 0; k < n; ++k)
        kv::dict_set(out.named.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]);
    Py_ssize_t i = 0;
    for (const kv::Param& p : params) {
        kv::check_type(p.name, args[i], p.type, p.none_ok);
        out.values[i] = args[i];
        ++i;
    }
    return out;
}

// --- reading a value ------------------------------------------------------------

namespace {

// Scale of a one-letter suffix, in any case; 1.0 for anything else.
double scale(std::string_view suffix) {
    if (suffix.size() != 1) return 1.0;
    switch (suffix[0] | 0x20) {
        case 'p': return 1e-12;
        case 'n': return 1e-9;
        case 'u': return 1e-6;
        case 'm': return 0.001;
        default: return 1.0;
    }
}

// `s` without its first and last character.
std::string_view inner(std::string_view s) { return s.size() < 2 ? std::string_view{} : s.substr(1, s.size() - 2); }

bool quoted(std::string_view s, char quote) { return !s.empty() && s.front() == quote && s.back() == quote; }

Ref eval_late(State& st, PyObject* expression, const Named& named) {
    st.calls_out.bump();
    if (st.own(fn_eval)) return eval(st, expression, named);
    Ref fn = st.current(fn_eval);
    return kv::call(fn.get(), {expression}, named.dict());
}

}  // namespace

namespace {

// A value text after unquoting and reading: a number, or the text left over
// (`text` may point into `bracketed`) and whether it is an expression.
struct Reading {
    bool is_number = false;
    bool expression = false;
    double number = 0.0;
    std::string_view text;
};

Reading read_text(std::string_view value, std::string& bracketed) {
    Reading r;
    // Quotes and braces only where the text starts with one.
    if (!value.empty() && (value.front() == '"' || value.front() == '\'' || value.front() == '{')) {
        while (quoted(value, '"')) value = inner(value);
        while (quoted(value, '\'')) {
            r.expression = true;
            value = inner(value);
        }
        if (!value.empty() && value.front() == '{' && value.back() == '}') {
            bracketed.reserve(value.size());
            bracketed.push_back('[');
            bracketed.append(inner(value));
            bracketed.push_back(']');
            value = bracketed;
        }
    }

    double number = 0.0;
    double factor = 1.0;
    bool is_number = false;
    const number::Simple simple = number::read_simple(value, number);
    switch (simple) {
        case number::Simple::Whole: is_number = true; break;
        case number::Simple::Suffix:
            is_number = true;
            factor = scale(value.substr(value.size() - 1));
            break;
        case number::Simple::Text: break;
        case number::Simple::No: is_number = number::read_float(value, number); break;
    }
    if (!is_number && !value.empty() && simple != number::Simple::Text) {
        const size_t last = text::last_char_size(value);
        factor = scale(value.substr(value.size() - last));
        is_number = number::read_float(value.substr(0, value.size() - last), number);
    }
    // A quoted number is that number, not an expression to evaluate.
    if (is_number) {
        r.is_number = true;
        r.number = number * factor;
        return r;
    }
    r.text = value;
    return r;
}

}  // namespace

Expressions::Expressions(PyObject* names) {
    if (!names) return;
    Py_ssize_t pos = 0;
    PyObject *key, *value;  // borrowed
    while (PyDict_Next(names, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) plain_names_ = false;
}

Ref Expressions::eval(State& st, std::string_view s, const Named& named, TextArena* keep) {
    bool inserted = false;
    Known* found = keep ? texts_.find(s) : nullptr;
    Known& known = found ? *found : texts_.insert(keep ? keep->store(s) : s, inserted);
    if (inserted) {
        try {
            known.text = kv::text(s);
        } catch (...) {
            known.text = Ref::borrow(Py_None);  // never used: the import fails
            throw;
        }
    }
    if (plain_names_) {
        if (!known_ || seen_ != st.calls_out.now()) {
            own_ = st.own(fn_eval);
            seen_ = st.calls_out.now();
            known_ = true;
        }
        // What the module's own `_eval` looks at first.
        if (own_) {
            if (known.value && known.overlay == named.overlay() && known.seen == st.calls_out.now()) return known.value;
            if (Ref value = named.find(known.text.get())) {
                known.value = value;
                known.overlay = named.overlay();
                known.seen = st.calls_out.now();
                return value;
            }
            // No named value: the rest of the module's own `_eval`, which
            // tells when it runs code.
            return eval_unnamed(st, known.text.get());
        }
    }
    return eval_late(st, known.text.get(), named);
}

namespace {

// `_parse_value` of a value text as a Value; the text of a brace list is
// made in `bracketed`.
Value read_into(State& st, std::string_view value, const Named& named, std::string& bracketed,
                Expressions* expressions, TextArena* arena) {
    Value v;
    if (value.empty()) return v;
    const Reading r = read_text(value, bracketed);
    if (r.is_number) {
        v.kind = Value::Kind::Number;
        v.number = r.number;
    } else if (r.expression) {
        v.kind = Value::Kind::Object;
        if (expressions && (bracketed.empty() || arena)) {
            v.object = expressions->eval(st, r.text, named, bracketed.empty() ? nullptr : arena);
        } else {
            Ref expression = kv::text(r.text);
            v.object = eval_late(st, expression.get(), named);
        }
    } else {
        v.kind = Value::Kind::Text;
        v.text = r.text;
    }
    return v;
}

}  // namespace

Value read_value(State& st, std::string_view value, const Named& named, TextArena& arena, Expressions* expressions) {
    std::string bracketed;
    Value v = read_into(st, value, named, bracketed, expressions, &arena);
    if (v.kind == Value::Kind::Text && !bracketed.empty()) v.text = arena.store(v.text);
    return v;
}

Ref parse_value(State& st, std::string_view value, const Named& named, PyObject* original) {
    std::string bracketed;
    const Value v = read_into(st, value, named, bracketed, nullptr, nullptr);
    if (original && v.kind == Value::Kind::Text && v.text.data() == value.data() && v.text.size() == value.size())
        return Ref::borrow(original);
    return v.to_object();
}

Ref Value::to_object() const {
    switch (kind) {
        case Kind::None: return kv::none();
        case Kind::Number: return kv::own(PyFloat_FromDouble(number));
        case Kind::Text: return kv::text(text);
        case Kind::Object: return object;
    }
    return kv::none();
}

Ref parse_value(State& st, PyObject* value, const Named& named) {
    if (!kv::ok(PyObject_IsTrue(value))) return kv::none();
    if (PyUnicode_Check(value)) {
        text::Utf8 u(value);
        return parse_value(st, u.view, named, value);
    }
    // What the runtime does with a value that is not text: no str methods.
    Ref quote = kv::text("\"");
    (void)kv::call_method(value, "startswith", {quote.get()});
    kv::raise(PyExc_TypeError, "expected a str value, got %.200s", kv::type_name(value));
}

Ref parse_value_late(State& st, std::string_view value, const Named& named) {
    Ref fn = st.current(fn_parse_value);
    if (st.functions.is_own(fn_parse_value, fn.get())) return parse_value(st, value, named);
    st.calls_out.bump();
    Ref text = kv::text(value);
    return kv::call(fn.get(), {text.get()}, named.dict());
}

// --- expressions ---------------------------------------------------------------

// The warning of an expression that is no literal, and its value, None. The
// warning may run code (filters, hooks).
static Ref unparsed(State& st, PyObject* expression) {
    st.calls_out.bump();
    warn_unparsed(st, expression);
    return kv::none();
}

Ref eval(State& st, PyObject* key_or_value, const Named& named) {
    kv::check_type("key_or_value", key_or_value, kv::Type::Str, false);
    if (Ref value = named.find(key_or_value)) return value;
    return eval_unnamed(st, key_or_value);
}

Ref eval_unnamed(State& st, PyObject* expression) {
    Ref ast = kv::global(st.module, st.names.ast.get());
    // Only the runtime's own module gives an attribute without running code.
    if (!ast.is(st.ast.get()) || !PyModule_CheckExact(ast.get())) st.calls_out.bump();
    Ref literal_eval = kv::attr(ast.get(), st.names.literal_eval.get());
    Ref value;
    // The runtime's literal_eval in place: a bare name needs no parse to be
    // refused, the texts the native reader knows are read here; the rest,
    // and every error, is the runtime's.
    const bool runtime_reader = ast.is(st.ast.get()) && literal_eval.is(st.literal_eval.get());
    if (runtime_reader) {
        if (is_bare_identifier(expression)) return unparsed(st, expression);
        value = read_literal(expression);
    }
    if (!value) {
        st.calls_out.bump();
        PyObject* result = PyObject_CallOneArg(literal_eval.get(), expression);
        if (!result) {
            // Syntax errors end the import; a well-formed non-literal becomes None.
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) kv::raise_set();
            PyErr_Clear();
            return unparsed(st, expression);
        }
        value = Ref::steal(result);
    }
    if (PySet_Check(value.get())) return kv::own(PySequence_List(value.get()));
    return value;
}

// --- micrometres ------------------------------------------------------------------

namespace {

Ref rescaled(PyObject* value) {
    if (PyFloat_CheckExact(value)) return kv::own(PyFloat_FromDouble(PyFloat_AS_DOUBLE(value) * 1e6));
    Ref factor = kv::own(PyFloat_FromDouble(1e6));
    return kv::own(PyNumber_Multiply(value, factor.get()));
}

}  // namespace

Ref um_value(PyObject* value) {
    if (!PyFloat_Check(value) || !is_probably_um(PyFloat_AS_DOUBLE(value))) return Ref::borrow(value);
    return rescaled(value);
}

Ref convert_um(State& st, PyObject* settings) {
    net::for_each_item(settings, [&](PyObject* key, PyObject* value) {
        if (!PyFloat_Check(value)) return;
        if (Ref test = st.functions.replaced(st.module, fn_is_probably_um)) {
            Ref inside = kv::call(test.get(), {value});
            st.calls_out.bump();
            if (!kv::ok(PyObject_IsTrue(inside.get()))) return;
        } else if (!is_probably_um(PyFloat_AS_DOUBLE(value))) {
            return;
        }
        Ref scaled = rescaled(value);
        kv::dict_set(settings, key, scaled.get());
    });
    return Ref::borrow(settings);
}

// --- module functions --------------------------------------------------------------

namespace {

PyObject* py_parse_value(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        NamedArgs a = bind_named("_parse_value", {kv::req("value")}, args, nargs, kwnames);
        return parse_value(state(), a.values[0], Named(a.named.get()));
    });
}

PyObject* py_eval(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        NamedArgs a = bind_named("_eval", {kv::req("key_or_value", kv::Type::Str)}, args, nargs, kwnames);
        return eval(state(), a.values[0], Named(a.named.get()));
    });
}

double as_double(PyObject* value) {
    double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) kv::raise_set();
    return d;
}

PyObject* py_is_probably_um(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bound_call(args, nargs, kwnames, "_is_probably_um",
                      {kv::req("val"), kv::opt("low"), kv::opt("high")}, [&](const kv::Args& a) {
        const double val = as_double(a[0]);
        const double low = a[1] ? as_double(a[1]) : 1e-10;
        const double high = a[2] ? as_double(a[2]) : 0.01;
        return kv::boolean(is_probably_um(val, low, high));
    });
}

PyObject* py_convert_um(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bound_call(args, nargs, kwnames, "_convert_um", {kv::req("settings", kv::Type::Dict)},
                      [&](const kv::Args& a) { return convert_um(state(), a[0]); });
}

PyMethodDef def_parse_value = {
    "_parse_value", kv::fastcall<py_parse_value>(), METH_FASTCALL | METH_KEYWORDS,
    "_parse_value($module, value, /, **kwargs)\n--\n\n"
    "Read a parameter value: quotes removed, numbers as floats scaled by a\n"
    "p/n/u/m suffix, single-quoted expressions resolved against kwargs."};
PyMethodDef def_eval = {
    "_eval", kv::fastcall<py_eval>(), METH_FASTCALL | METH_KEYWORDS,
    "_eval($module, key_or_value, /, **kwargs)\n--\n\n"
    "A named value, else the literal the text spells; None with a ParseWarning\n"
    "when it is neither."};
PyMethodDef def_is_probably_um = {
    "_is_probably_um", kv::fastcall<py_is_probably_um>(), METH_FASTCALL | METH_KEYWORDS,
    "_is_probably_um($module, val, low=1e-10, high=0.01)\n--\n\n"
    "Whether low < val < high: a length in metres of on-chip size."};
PyMethodDef def_convert_um = {
    "_convert_um", kv::fastcall<py_convert_um>(), METH_FASTCALL | METH_KEYWORDS,
    "_convert_um($module, settings)\n--\n\n"
    "Rescale the float lengths in metres of settings to micrometres, in place."};

}  // namespace

void register_values(State& st) {
    st.functions.add(st.module, fn_parse_value, &def_parse_value);
    st.functions.add(st.module, fn_eval, &def_eval);
    st.functions.add(st.module, fn_is_probably_um, &def_is_probably_um);
    st.functions.add(st.module, fn_convert_um, &def_convert_um);
}

}  // namespace spicenet
