// Late binding (see late.hpp).
#include "late.hpp"

#include "objects.hpp"

namespace kv {

void FunctionTable::add(PyObject* module, size_t index, PyMethodDef* def, PyObject* wrap) {
    Ref modname = attr(module, "__name__");
    Entry& e = entries_.at(index);
    e.name = interned(def->ml_name);
    e.function = kv::own(PyCFunction_NewEx(def, module, modname.get()));
    e.bound = wrap ? call(wrap, {e.function.get()}) : e.function;
    ok(PyObject_SetAttr(module, e.name.get(), e.bound.get()));
}

Ref FunctionTable::current(PyObject* module, size_t index) const {
    if (index >= entries_.size() || !name(index))
        raise(PyExc_SystemError, "module function %zu was never registered", index);
    return global(module, name(index));
}

Ref global(PyObject* module, PyObject* name) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    Ref value = dict_get(dict, name);
    if (!value) raise(PyExc_NameError, "name '%U' is not defined", name);
    return value;
}

Ref global(PyObject* module, const char* name) { return global(module, interned(name).get()); }

bool FunctionTable::own(PyObject* module, size_t index) const {
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), name(index));  // borrowed, not held
    if (!value && PyErr_Occurred()) raise_set();
    return value && is_own(index, value);
}

Ref FunctionTable::replaced(PyObject* module, size_t index) const {
    Ref value = current(module, index);
    return is_own(index, value.get()) ? Ref() : value;
}

}  // namespace kv
