// Typed helpers over the object protocol (see objects.hpp).
#include "objects.hpp"

#include <vector>

namespace kv {

std::string_view utf8(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (!data) raise_set();
    return {data, static_cast<size_t>(size)};
}

Ref text(std::string_view utf8_text) {
    return own(PyUnicode_DecodeUTF8(utf8_text.data(), static_cast<Py_ssize_t>(utf8_text.size()),
                                    "surrogatepass"));
}

Ref interned(const char* s) { return own(PyUnicode_InternFromString(s)); }

Ref to_text(PyObject* obj) { return own(PyObject_Str(obj)); }

Ref call(PyObject* f, std::initializer_list<PyObject*> args, PyObject* kwargs) {
    return own(PyObject_VectorcallDict(f, const_cast<PyObject* const*>(args.begin()), args.size(),
                                       kwargs));
}

Ref call_method(PyObject* obj, const char* name, std::initializer_list<PyObject*> args,
                PyObject* kwargs) {
    Ref method = attr(obj, name);
    return call(method.get(), args, kwargs);
}

Ref attr(PyObject* obj, const char* name) { return own(PyObject_GetAttrString(obj, name)); }
Ref attr(PyObject* obj, PyObject* name) { return own(PyObject_GetAttr(obj, name)); }

Ref attr_or_null(PyObject* obj, PyObject* name) {
    PyObject* result = nullptr;
    ok(PyObject_GetOptionalAttr(obj, name, &result));
    return Ref::steal(result);
}

void set_attr(PyObject* obj, const char* name, PyObject* value) {
    ok(PyObject_SetAttrString(obj, name, value));
}

Ref import(const char* dotted_name) { return own(PyImport_ImportModule(dotted_name)); }

Ref new_dict() { return own(PyDict_New()); }
Ref new_list(Py_ssize_t size) { return own(PyList_New(size)); }

Ref tuple_of(std::initializer_list<PyObject*> items) {
    Ref t = own(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(t.get(), i++, Ref::borrow(item).release());
    return t;
}

Ref dict_get(PyObject* dict, PyObject* key) {
    PyObject* result = nullptr;
    ok(PyDict_GetItemRef(dict, key, &result));
    return Ref::steal(result);
}

void dict_set(PyObject* dict, PyObject* key, PyObject* value) {
    ok(PyDict_SetItem(dict, key, value));
}

void dict_set(PyObject* dict, const char* key, PyObject* value) {
    ok(PyDict_SetItemString(dict, key, value));
}

void list_append(PyObject* list, PyObject* item) { ok(PyList_Append(list, item)); }

}  // namespace kv
