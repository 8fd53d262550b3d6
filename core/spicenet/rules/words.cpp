// Words of `.subckt` and element lines (see words.hpp).
#include "words.hpp"

#include <algorithm>

#include "bound.hpp"
#include "lines.hpp"
#include "literal_tokens.hpp"
#include "net_maps.hpp"
#include "text_unicode.hpp"

namespace spicenet {

namespace {

constexpr Py_ssize_t kNoKeyword = -1;

// Which source keyword `word` is, compared stripped and lower-cased.
Py_ssize_t keyword_of(std::string_view word) {
    // A word that starts and ends with a visible ASCII character is its own
    // lookup form; only four bytes can then make a keyword.
    const bool visible_ends = !word.empty() && word.front() > 0x20 && word.front() < 0x7F && word.back() > 0x20 &&
                              word.back() < 0x7F;
    if (!visible_ends) {
        word = text::strip(word);
        if (!text::is_ascii(word)) {
            // Lower-casing beyond ASCII is the runtime's.
            Ref str = kv::text(word);
            Ref lower = kv::call_method(str.get(), "lower");
            for (size_t k = 0; k < std::size(kSourceKeywords); ++k)
                if (PyUnicode_CompareWithASCIIString(lower.get(), kSourceKeywords[k].data()) == 0)
                    return static_cast<Py_ssize_t>(k);
            return kNoKeyword;
        }
    }
    return word.size() == 4 ? source_keyword_at(word.data()) : kNoKeyword;
}

bool is_identifier(std::string_view word) {
    if (!text::is_ascii(word)) return PyUnicode_IsIdentifier(kv::text(word).get()) == 1;
    return !word.empty() && !literal::is_digit(word[0]) && std::all_of(word.begin(), word.end(), literal::is_name_char);
}

// For a word that is not a str: the runtime's own error for `word.method()`;
// an object that has such a method is still not a word.
[[noreturn]] void refuse_word(PyObject* word, const char* method, std::initializer_list<PyObject*> args = {}) {
    (void)kv::call_method(word, method, args);
    kv::raise(PyExc_TypeError, "words must be str, not %.200s", kv::type_name(word));
}

}  // namespace

// --- controlled sources -------------------------------------------------------------

bool has_source_keyword(WordSpan words) {
    for (std::string_view w : words)
        if (keyword_of(w) != kNoKeyword) return true;
    return false;
}

std::string_view Rewritten::make(std::string_view head, std::string_view tail) {
    if (arena) return arena->store(head, tail);
    std::string& text = made.emplace_back(head);
    text.append(tail);
    return text;
}

void handle_sources(WordSpan words, Rewritten& out) {
    const auto n = static_cast<Py_ssize_t>(words.size());
    // The first occurrence of the first keyword in search order.
    Py_ssize_t at = -1, best = kNoKeyword;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_ssize_t k = keyword_of(words[i]);
        if (k != kNoKeyword && (best == kNoKeyword || k < best)) {
            best = k;
            at = i;
        }
    }

    auto keep = [&](Py_ssize_t i) {
        out.words.push_back(words[i]);
        out.origin.push_back(i);
    };
    if (at < 0) {
        for (Py_ssize_t i = 0; i < n; ++i) keep(i);
        return;
    }

    // Controlling nodes move in front of the output nodes (the last one first);
    // unnamed values become gain=, unknown1=, unknown2=, ...
    std::vector<Py_ssize_t>& front = out.front;
    std::vector<std::pair<std::string_view, Py_ssize_t>>& controls = out.controls;
    front.clear();
    controls.clear();
    int values = 0;
    for (Py_ssize_t i = at + 1; i < n; ++i) {
        std::string_view w = words[i];
        if (is_setting(w)) {
            controls.emplace_back(w, i);
        } else if (is_identifier(w)) {
            front.push_back(i);
            controls.emplace_back(out.make(w, "="), -1);
        } else {
            if (values == 0) {
                controls.emplace_back(out.make("gain=", w), -1);
            } else {
                const std::string name = "unknown" + std::to_string(values) + "=";
                controls.emplace_back(out.make(name, w), -1);
            }
            ++values;
        }
    }
    for (auto it = front.rbegin(); it != front.rend(); ++it) keep(*it);
    for (Py_ssize_t i = 0; i <= at; ++i) keep(i);
    for (auto& [w, origin] : controls) {
        out.words.push_back(w);
        out.origin.push_back(origin);
    }
}

Ref handle_sources(PyObject* words) {
    Ref list = kv::own(PySequence_List(words));
    // The views point into the str objects (or their encodings), not into `held`.
    std::vector<text::Utf8> held;
    std::vector<std::string_view> views;
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(list.get()); i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(list.get(), i);
        if (!PyUnicode_Check(item)) refuse_word(item, "strip");
        views.push_back(held.emplace_back(item).view);
    }

    Rewritten rewritten;
    handle_sources(views, rewritten);
    Ref out = kv::new_list(static_cast<Py_ssize_t>(rewritten.words.size()));
    for (size_t i = 0; i < rewritten.words.size(); ++i) {
        const Py_ssize_t origin = rewritten.origin[i];
        Ref item = origin >= 0 ? Ref::borrow(PyList_GET_ITEM(list.get(), origin)) : kv::text(rewritten.words[i]);
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return out;
}

// --- ports and settings -------------------------------------------------------------

Ref get_ir_ports(WordSpan words) {
    Py_ssize_t count = 0;
    for (std::string_view w : words) count += is_setting(w) ? 0 : 1;
    Ref ports = kv::own(PyTuple_New(count));
    Py_ssize_t i = 0;
    for (std::string_view w : words)
        if (!is_setting(w)) PyTuple_SET_ITEM(ports.get(), i++, kv::text(w).release());
    return ports;
}

Ref get_ir_ports(PyObject* words) {
    Ref sep = kv::text("=");
    Ref ports = kv::new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(words); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(words, i));
        if (!kv::ok(PySequence_Contains(item.get(), sep.get()))) kv::list_append(ports.get(), item.get());
    }
    return kv::own(PyList_AsTuple(ports.get()));
}

namespace {

// A word that holds "=" is a setting: its key and value into `settings`.
void add_setting(State& st, PyObject* settings, std::string_view word, const Named& named) {
    const size_t eq = find_equals(word);
    if (eq == std::string_view::npos) return;
    if (find_equals(word, eq + 1) != std::string_view::npos) kv::raise_too_many(2);
    Ref key = kv::text(word.substr(0, eq));
    Ref value = parse_value_late(st, word.substr(eq + 1), named);
    kv::dict_set(settings, key.get(), value.get());
}

}  // namespace

Ref get_ir_settings(State& st, WordSpan words, const Named& named) {
    Ref settings = kv::new_dict();
    for (std::string_view w : words) add_setting(st, settings.get(), w, named);
    return settings;
}

Ref get_ir_settings(State& st, PyObject* words, const Named& named) {
    // Walked as `for word in words` walks it: a parse may change the list.
    Ref settings = kv::new_dict();
    Ref sep;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(words); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(words, i));
        if (PyUnicode_Check(item.get())) {
            const text::Utf8 u(item.get());
            add_setting(st, settings.get(), u.view, named);
            continue;
        }
        if (!sep) sep = kv::text("=");
        if (kv::ok(PySequence_Contains(item.get(), sep.get()))) refuse_word(item.get(), "split", {sep.get()});
    }
    return settings;
}

Ref get_parent_id(PyObject* parents) {
    const Py_ssize_t n = PyList_GET_SIZE(parents);
    if (n == 0) return kv::own(PyLong_FromLong(0));
    Ref last = Ref::borrow(PyList_GET_ITEM(parents, n - 1));
    return kv::attr(last.get(), "id");
}

// --- module functions --------------------------------------------------------------

namespace {

PyObject* py_handle_sources(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bound_call(args, nargs, kwnames, "_handle_sources", {kv::req("words")},
                      [](const kv::Args& a) { return handle_sources(a[0]); });
}

PyObject* py_get_ir_ports(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bound_call(args, nargs, kwnames, "_get_ir_ports", {kv::req("words", kv::Type::List)},
                      [](const kv::Args& a) { return get_ir_ports(a[0]); });
}

PyObject* py_get_ir_settings(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        NamedArgs a = bind_named("_get_ir_settings", {kv::req("words", kv::Type::List)}, args, nargs, kwnames);
        return get_ir_settings(state(), a.values[0], Named(a.named.get()));
    });
}

PyObject* py_get_parent_id(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bound_call(args, nargs, kwnames, "_get_parent_id", {kv::req("parents", kv::Type::List)},
                      [](const kv::Args& a) { return get_parent_id(a[0]); });
}

PyMethodDef def_handle_sources = {
    "_handle_sources", kv::fastcall<py_handle_sources>(), METH_FASTCALL | METH_KEYWORDS,
    "_handle_sources($module, words)\n--\n\n"
    "The words after an element name as a new list, a controlled source\n"
    "(vcvs, vccs, ccvs, cccs) rewritten to nodes, source, key=value words."};
PyMethodDef def_get_ir_ports = {
    "_get_ir_ports", kv::fastcall<py_get_ir_ports>(), METH_FASTCALL | METH_KEYWORDS,
    "_get_ir_ports($module, words)\n--\n\nThe words without \"=\", as a tuple."};
PyMethodDef def_get_ir_settings = {
    "_get_ir_settings", kv::fastcall<py_get_ir_settings>(), METH_FASTCALL | METH_KEYWORDS,
    "_get_ir_settings($module, words, /, **kwargs)\n--\n\n"
    "A dict of the key=value words, values read with kwargs as named values."};
PyMethodDef def_get_parent_id = {
    "_get_parent_id", kv::fastcall<py_get_parent_id>(), METH_FASTCALL | METH_KEYWORDS,
    "_get_parent_id($module, parents)\n--\n\nThe id of the last open subcircuit, 0 when none is open."};

}  // namespace

void register_words(State& st) {
    st.functions.add(st.module, fn_handle_sources, &def_handle_sources);
    st.functions.add(st.module, fn_get_ir_ports, &def_get_ir_ports);
    st.functions.add(st.module, fn_get_ir_settings, &def_get_ir_settings);
    st.functions.add(st.module, fn_get_parent_id, &def_get_parent_id);
}

}  // namespace spicenet
