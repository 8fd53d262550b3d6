// Argument binding with the runtime's argument-error texts (see args.hpp).
#include "args.hpp"

#include <cstring>

#include "objects.hpp"

namespace kv {

Signature::Signature(const char* func, std::initializer_list<Param> params, bool varkw)
    : func_(func), params_(params), varkw_(varkw) {
    for (const Param& p : params_) {
        PyObject* name = PyUnicode_InternFromString(p.name);
        if (!name) Py_FatalError("cannot intern a parameter name");
        names_.push_back(name);
        if (!p.kwonly) {
            ++positional_;
            if (p.required) ++required_;
        }
    }
    if (params_.size() > Args{}.values.size()) Py_FatalError("too many parameters in a signature");
}

void raise_arg_count(const char* func, bool exact, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) {
    Py_ssize_t expected = given < min ? min : max;
    const char* how = exact ? "exactly" : (given < min ? "at least" : "at most");
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func, how,
          expected, expected == 1 ? "" : "s", given);
}

static const char* expected_name(Type type) {
    switch (type) {
        case Type::Str: return "str";
        case Type::Dict: return "dict";
        case Type::List: return "list";
        case Type::Tuple: return "tuple";
        case Type::Any: break;
    }
    return "object";
}

static bool exact_type(PyObject* value, Type type) {
    switch (type) {
        case Type::Str: return PyUnicode_CheckExact(value);
        case Type::Dict: return PyDict_CheckExact(value);
        case Type::List: return PyList_CheckExact(value);
        case Type::Tuple: return PyTuple_CheckExact(value);
        case Type::Any: return true;
    }
    return true;
}

void check_type(const char* param_name, PyObject* value, Type type, bool none_ok) {
    if (type == Type::Any || exact_type(value, type)) return;
    if (none_ok && value == Py_None) return;
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
          param_name, expected_name(type), type_name(value));
}

static Py_ssize_t find_param(const Signature& sig, PyObject* key) {
    // Keyword names are interned by the compiler, so identity usually decides.
    for (size_t i = 0; i < sig.size(); ++i)
        if (sig.name(i) == key) return static_cast<Py_ssize_t>(i);
    for (size_t i = 0; i < sig.size(); ++i) {
        int eq = PyUnicode_Compare(sig.name(i), key);
        if (eq == -1 && PyErr_Occurred()) raise_set();
        if (eq == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

Args bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    Args out;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const auto npos = static_cast<Py_ssize_t>(sig.positional());
    const auto nreq = static_cast<Py_ssize_t>(sig.required_positional());
    const bool exact = npos == nreq;

    if (nargs > npos) raise_arg_count(sig.func(), exact, nreq, npos, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out.values[i] = args[i];
    if (sig.varkw()) out.kwargs = new_dict();

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "%.200s() keywords must be strings", sig.func());
        Py_ssize_t index = find_param(sig, key);
        if (index >= 0) {
            if (out.values[index])
                raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.func(), key);
            out.values[index] = value;
        } else if (sig.varkw()) {
            dict_set(out.kwargs.get(), key, value);
        } else {
            raise(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'", sig.func(), key);
        }
    }

    for (size_t i = 0; i < sig.size(); ++i) {
        const Param& p = sig[i];
        if (out.values[i] || !p.required) continue;
        if (p.kwonly) raise(PyExc_TypeError, "%s() needs keyword-only argument %U", sig.func(), sig.name(i));
        raise_arg_count(sig.func(), exact, nreq, npos, static_cast<Py_ssize_t>(i));
    }

    for (size_t i = 0; i < sig.size(); ++i)
        if (out.values[i]) check_type(sig[i].name, out.values[i], sig[i].type, sig[i].none_ok);
    return out;
}

}  // namespace kv
