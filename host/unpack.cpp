// Unpacking with the runtime's errors (see unpack.hpp).
#include "unpack.hpp"

#include "objects.hpp"

namespace kv {

std::pair<Ref, Ref> unpack_pair(PyObject* value) {
    // Held for the whole unpacking: its __iter__ may drop the last other
    // reference, and the error below still reads its type.
    Ref held = Ref::borrow(value);
    if (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 2)
        return {Ref::borrow(PyTuple_GET_ITEM(value, 0)), Ref::borrow(PyTuple_GET_ITEM(value, 1))};
    Ref it = Ref::steal(PyObject_GetIter(value));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(value)->tp_iter && !PySequence_Check(value)) {
            PyErr_Clear();
            raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type_name(value));
        }
        raise_set();
    }
    Ref items[2];
    for (int i = 0; i < 2; ++i) {
        items[i] = Ref::steal(PyIter_Next(it.get()));
        if (!items[i]) {
            if (PyErr_Occurred()) raise_set();
            raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (PyErr_Occurred()) raise_set();
    return {std::move(items[0]), std::move(items[1])};
}

Ref unpack_exactly(PyObject* value, Py_ssize_t n) {
    Ref held = Ref::borrow(value);  // its __iter__ may drop the last other reference
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
        if (size > n) raise_too_many(n);
        if (size < n) raise_need_more(size);
        return own(PySequence_List(value));
    }
    // Any other iterable: n items and then its end, no further.
    Ref it = own(PyObject_GetIter(value));
    Ref list = new_list();
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) {
            if (PyErr_Occurred()) raise_set();
            raise_need_more(i);
        }
        list_append(list.get(), item.get());
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) raise_too_many(n);
    if (PyErr_Occurred()) raise_set();
    return list;
}

void raise_need_more(Py_ssize_t found) {
    raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
}

void raise_too_many(Py_ssize_t expected) {
    raise(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

}  // namespace kv
