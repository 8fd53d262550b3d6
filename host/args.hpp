// Argument handling for module functions, with the texts and rules of an
// annotated Cython 3 signature: exact-type checks for str/dict/list/tuple
// parameters (subclasses refused, None only where optional), positional-count
// errors ("exactly" / "at least" / "at most"), keyword-only parameters and
// collection of extra keywords into a **kwargs dict.
//
// Functions use the vectorcall convention (METH_FASTCALL | METH_KEYWORDS).
#pragma once

#include <array>
#include <initializer_list>
#include <vector>

#include "ref.hpp"

namespace kv {

enum class Type { Any, Str, Dict, List, Tuple };

struct Param {
    const char* name;
    Type type = Type::Any;
    bool required = true;  // false: the parameter has a default
    bool none_ok = false;  // None accepted besides `type` (an optional parameter)
    bool kwonly = false;   // keyword-only
};

inline Param req(const char* name, Type type = Type::Any) { return {name, type, true, false, false}; }
inline Param opt(const char* name, Type type = Type::Any) { return {name, type, false, true, false}; }
inline Param kwopt(const char* name, Type type = Type::Any) { return {name, type, false, true, true}; }

class Signature {
  public:
    Signature(const char* func, std::initializer_list<Param> params, bool varkw = false);

    const char* func() const { return func_; }
    size_t size() const { return params_.size(); }
    const Param& operator[](size_t i) const { return params_[i]; }
    bool varkw() const { return varkw_; }
    size_t positional() const { return positional_; }
    size_t required_positional() const { return required_; }
    PyObject* name(size_t i) const { return names_[i]; }

  private:
    const char* func_;
    std::vector<Param> params_;
    // Interned parameter names. Deliberately never released: signatures are
    // function-local statics, destroyed at process exit after the interpreter
    // has gone, when releasing a reference would touch freed memory.
    std::vector<PyObject*> names_;
    bool varkw_;
    size_t positional_ = 0;
    size_t required_ = 0;
};

// The bound arguments: borrowed values (NULL where not given) and, for a
// signature with **kwargs, a new dict of the extra keywords.
struct Args {
    std::array<PyObject*, 8> values{};
    Ref kwargs;

    PyObject* operator[](size_t i) const { return values[i]; }
    // The value, or `fallback` when the argument was not given.
    PyObject* get(size_t i, PyObject* fallback) const { return values[i] ? values[i] : fallback; }
};

// Binds a vectorcall argument vector to `sig`, raising the runtime's argument
// errors. Type checks run after binding, in parameter order.
Args bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

// The type check of one value against a parameter (used by bind, and by
// callers that check values they received another way).
void check_type(const char* param_name, PyObject* value, Type type, bool none_ok);

// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
[[noreturn]] void raise_arg_count(const char* func, bool exact, Py_ssize_t min, Py_ssize_t max,
                                  Py_ssize_t given);

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction a PyMethodDef holds.
template <auto F>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(F));
}

}  // namespace kv
