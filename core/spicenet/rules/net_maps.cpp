// Mapping, memo and error helpers of the back half of the import (see net_maps.hpp).
#include "net_maps.hpp"

namespace spicenet::net {

Ref lookup(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) return kv::dict_get(mapping, key);
    PyObject* value = PyObject_GetItem(mapping, key);
    if (value) return Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) kv::raise_set();
    PyErr_Clear();
    return Ref();
}

Ref item(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        Ref value = kv::dict_get(mapping, key);
        if (!value) raise_key_error(key);
        return value;
    }
    return kv::own(PyObject_GetItem(mapping, key));
}

void raise_key_error(PyObject* key) {
    // KeyError(key) built as an instance, so a tuple key is not taken for the
    // argument list.
    Ref error = kv::call(PyExc_KeyError, {key});
    PyErr_SetObject(PyExc_KeyError, error.get());
    kv::raise_set();
}

void raise_changed_size() { kv::raise(PyExc_RuntimeError, "dictionary changed size during iteration"); }

Ref intern(PyObject* memo, Ref value) {
    if (!memo || !PyUnicode_CheckExact(value.get())) return value;
    PyObject* kept = nullptr;
    kv::ok(PyDict_SetDefaultRef(memo, value.get(), value.get(), &kept));
    return Ref::steal(kept);
}

bool starts_with(PyObject* s, std::string_view prefix) {
    const auto n = static_cast<Py_ssize_t>(prefix.size());
    if (PyUnicode_GET_LENGTH(s) < n) return false;
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyUnicode_READ(kind, data, i) != static_cast<Py_UCS4>(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

}  // namespace spicenet::net
