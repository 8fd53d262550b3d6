// Module creation, load guards, function binding and late-bound globals
// (see module.hpp).
#include "module.hpp"

#include "objects.hpp"

namespace kv {

PyObject* guarded_create(ModuleGuard& guard, PyObject* spec) {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (guard.interpreter_id == -1) {
        guard.interpreter_id = current;
    } else if (guard.interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (guard.module) return Ref::borrow(guard.module).release();
    return entry([&] {
        Ref name = attr(spec, "name");
        return own(PyModule_NewObject(name.get()));
    });
}

int guarded_exec(ModuleGuard& guard, PyObject* module, void (*init)(PyObject*)) {
    if (guard.module) {
        if (guard.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     guard.short_name);
        return -1;
    }
    int status = entry_status([&] { init(module); });
    if (status == 0) guard.module = Ref::borrow(module).release();
    return status;
}

void bind(PyObject* module, const char* name, PyObject* value) {
    ok(PyObject_SetAttrString(module, name, value));
}

void bind_lazy(PyObject* module, const char* name, const char* target, const char* attribute) {
    Ref lazy = import("korvane.core.lazy");
    Ref lazy_import = kv::attr(lazy.get(), "lazy_import");
    Ref target_text = text(target);
    Ref handle = attribute ? call(lazy_import.get(), {target_text.get(), text(attribute).get()})
                           : call(lazy_import.get(), {target_text.get()});
    bind(module, name, handle.get());
}

void bind_from(PyObject* module, const char* name, const char* module_name, const char* attribute) {
    Ref source = import(module_name);
    Ref value = kv::attr(source.get(), attribute ? attribute : name);
    bind(module, name, value.get());
}

}  // namespace kv
