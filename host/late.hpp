// Late binding: module code reaches its own functions and its collaborators
// by looking the name up in the module's globals at call time, so replacing a
// module attribute changes behaviour as it would for a Python module.
//
// A `FunctionTable` remembers the function objects a module created, so a hot
// path can tell whether a global is still the module's own function and run
// the C++ code directly. An `Epoch` counts the module's calls into code that
// may change its globals; what a hot path learnt about its globals holds
// while the epoch stays (`OwnedWhile`).
#pragma once

#include <cstdint>
#include <vector>

#include "ref.hpp"

namespace kv {

// Looks `name` up in the module's globals; NameError when it is missing.
Ref global(PyObject* module, PyObject* name);
Ref global(PyObject* module, const char* name);

// Module functions created at exec and bound as module attributes, indexed
// by a per-module enumeration of the functions.
class FunctionTable {
  public:
    explicit FunctionTable(size_t count) : entries_(count) {}

    // Creates the function for `def` (a static PyMethodDef), binds it as the
    // module attribute `def->ml_name` under `index`. When `wrap` is given,
    // the attribute is `wrap(function)` instead (for example a functools
    // cache); the table remembers both.
    void add(PyObject* module, size_t index, PyMethodDef* def, PyObject* wrap = nullptr);

    // The function object created for `index` (borrowed).
    PyObject* function(size_t index) const { return entries_[index].function.get(); }
    // The object bound at exec: the wrapper when there is one (borrowed).
    PyObject* bound(size_t index) const { return entries_[index].bound.get(); }
    // The interned attribute name.
    PyObject* name(size_t index) const { return entries_[index].name.get(); }

    // The current global of that name (late binding).
    Ref current(PyObject* module, size_t index) const;
    // Whether `obj` is still the object the module bound at exec.
    bool is_own(size_t index, PyObject* obj) const { return obj == bound(index); }
    // Whether the module's global of that name is still its own object; a
    // missing global is not. Takes no reference and runs no Python code.
    bool own(PyObject* module, size_t index) const;
    // The global when it was replaced, else an empty Ref (the caller then
    // runs the C++ code of the module's own function).
    Ref replaced(PyObject* module, size_t index) const;

  private:
    struct Entry {
        Ref name;
        Ref function;
        Ref bound;
    };
    std::vector<Entry> entries_;
};

// Counts a module's calls into code that may change its globals or the
// values a hot path read (a replaced function, a collaborator's code, an
// expression, a warning filter).
class Epoch {
  public:
    void bump() { ++count_; }
    uint64_t now() const { return count_; }

  private:
    uint64_t count_ = 0;
};

// The answer to "is this global still the module's own?" for a fixed set of
// functions, looked up once and kept while the epoch stays.
template <size_t N>
class OwnedWhile {
  public:
    OwnedWhile(const FunctionTable& table, PyObject* module, const Epoch& epoch, const size_t (&indexes)[N])
        : table_(table), module_(module), epoch_(epoch), indexes_(indexes) {}

    // Whether the function at `indexes[i]` is the module's own.
    bool own(size_t i) {
        refresh();
        return own_[i];
    }
    // Whether every function of the set is the module's own.
    bool all() {
        refresh();
        return all_;
    }
    // Forces a new look-up (after code ran that the epoch does not count).
    void forget() { known_ = false; }

  private:
    void refresh() {
        if (known_ && seen_ == epoch_.now()) return;
        all_ = true;
        for (size_t i = 0; i < N; ++i) all_ &= own_[i] = table_.own(module_, indexes_[i]);
        seen_ = epoch_.now();
        known_ = true;
    }

    const FunctionTable& table_;
    PyObject* module_;  // borrowed: the module outlives every user of the set
    const Epoch& epoch_;
    const size_t (&indexes_)[N];
    bool own_[N] = {};
    bool all_ = false, known_ = false;
    uint64_t seen_ = 0;
};

}  // namespace kv
