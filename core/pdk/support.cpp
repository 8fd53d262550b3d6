// Shared object-protocol helpers (see support.hpp).
#include "support.hpp"

namespace pdk {

Ref format_text(PyObject* obj) {
    if (PyUnicode_CheckExact(obj)) return Ref::borrow(obj);
    return kv::own(PyObject_Format(obj, nullptr));
}

Ref cat(std::initializer_list<PyObject*> parts) {
    Ref result = kv::text("");
    for (PyObject* part : parts) result = kv::own(PyUnicode_Concat(result.get(), part));
    return result;
}

bool truthy(PyObject* obj) { return kv::ok(PyObject_IsTrue(obj)) == 1; }

bool equal(PyObject* a, PyObject* b) { return kv::ok(PyObject_RichCompareBool(a, b, Py_EQ)) == 1; }

bool contains(PyObject* container, PyObject* item) {
    return kv::ok(PySequence_Contains(container, item)) == 1;
}

Ref get_item(PyObject* mapping, PyObject* key) {
    Ref value = PyDict_CheckExact(mapping) ? kv::dict_get(mapping, key)
                                           : kv::call_method(mapping, "get", {key});
    if (value.is(Py_None)) return Ref();
    return value;
}

void merge(PyObject* target, PyObject* source) {
    if (PyDict_CheckExact(target) && PyDict_CheckExact(source)) {
        kv::ok(PyDict_Update(target, source));
        return;
    }
    (void)kv::call_method(target, "update", {source});
}

Ref keys_of(PyObject* mapping) {
    if (PyDict_CheckExact(mapping)) return kv::own(PyDict_Keys(mapping));
    return kv::own(PySequence_List(mapping));
}

void del_item(PyObject* mapping, PyObject* key) { kv::ok(PyObject_DelItem(mapping, key)); }

Ref kwargs(std::initializer_list<std::pair<const char*, PyObject*>> items) {
    Ref dict = kv::new_dict();
    for (const auto& [name, value] : items) kv::dict_set(dict.get(), name, value);
    return dict;
}

Ref setting(State& st, const char* name) {
    Ref settings = kv::global(st.module, "settings");
    return kv::call_method(settings.get(), name);
}

}  // namespace pdk
