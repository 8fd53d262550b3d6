// Module creation with multi-phase initialisation and its two load guards,
// module functions bound as real attributes, and late-bound globals.
//
// Guards: a module may live in one interpreter per process only ("Interpreter
// change detected ..."); importing it again in the same interpreter (after it
// was removed from sys.modules) gives back the same, initialised module
// object; executing it on any other module object is refused ("Module '<name>'
// has already been imported. Re-initialisation is not supported.").
//
// Late binding of globals and the module's function table: late.hpp.
#pragma once

#include <cstdint>
#include <vector>

#include "late.hpp"
#include "ref.hpp"

namespace kv {

// One per extension module; lives as long as the process, like the module.
struct ModuleGuard {
    const char* short_name;           // "spicenet", "pdk", "freeze"
    PyObject* module = nullptr;       // the one module object (strong reference)
    int64_t interpreter_id = -1;      // the interpreter that loaded it first
};

// Py_mod_create: applies the interpreter guard and returns the existing module
// object when there is one.
PyObject* guarded_create(ModuleGuard& guard, PyObject* spec);
// Py_mod_exec: runs `init` once, on the first module object only.
int guarded_exec(ModuleGuard& guard, PyObject* module, void (*init)(PyObject* module));

// The one state object of a module, made at exec and kept for the life of
// the process, like the module object it belongs to. `S` has a `module`
// member (borrowed: the module outlives its state).
template <class S>
class ModuleState {
  public:
    static S& create(PyObject* module) {
        instance_ = new S();
        instance_->module = module;
        return *instance_;
    }
    static S& get() { return *instance_; }

  private:
    static inline S* instance_ = nullptr;
};

// Sets a module attribute (a global).
void bind(PyObject* module, const char* name, PyObject* value);

// Binds `name` to `korvane.core.lazy.lazy_import(target)` or
// `lazy_import(target, attribute)`.
void bind_lazy(PyObject* module, const char* name, const char* target, const char* attribute = nullptr);

// Binds `name` to `getattr(import(module_name), attribute or name)`.
void bind_from(PyObject* module, const char* name, const char* module_name, const char* attribute = nullptr);

}  // namespace kv

// Defines the module's PyInit function with multi-phase initialisation.
// `init` is `void init(PyObject* module)`, which may throw PyErrorSet.
#define KORVANE_MODULE(short_name_, init_)                                                         \
    static ::kv::ModuleGuard korvane_guard_{#short_name_};                                         \
    static PyObject* korvane_create_(PyObject* spec, PyModuleDef*) {                               \
        return ::kv::guarded_create(korvane_guard_, spec);                                         \
    }                                                                                              \
    static int korvane_exec_(PyObject* module) {                                                   \
        return ::kv::guarded_exec(korvane_guard_, module, init_);                                  \
    }                                                                                              \
    static PyModuleDef_Slot korvane_slots_[] = {                                                   \
        {Py_mod_create, reinterpret_cast<void*>(korvane_create_)},                                 \
        {Py_mod_exec, reinterpret_cast<void*>(korvane_exec_)},                                     \
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},                \
        {Py_mod_gil, Py_MOD_GIL_USED},                                                             \
        {0, nullptr}};                                                                             \
    static PyModuleDef korvane_def_ = {PyModuleDef_HEAD_INIT, #short_name_, nullptr, 0, nullptr,   \
                                       korvane_slots_, nullptr, nullptr, nullptr};                 \
    PyMODINIT_FUNC PyInit_##short_name_(void) { return PyModuleDef_Init(&korvane_def_); }
