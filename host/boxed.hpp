// C++ values living inside Python objects of a heap type that the garbage
// collector tracks. The value keeps its references in Ref members; this file
// supplies allocation, deallocation, traversal and clearing, so module code
// never counts references by hand.
//
// The value type T provides `int traverse(visitproc, void*)` (visit each Ref
// with kv::visit_ref) and `void clear()` (drop every Ref).
#pragma once

#include <new>
#include <utility>

#include "ref.hpp"

namespace kv {

template <class T>
struct Boxed {
    PyObject_HEAD
    T value;
};

template <class T>
T& unbox(PyObject* obj) {
    return reinterpret_cast<Boxed<T>*>(obj)->value;
}

inline int visit_ref(const Ref& ref, visitproc visit, void* arg) { return ref ? visit(ref.get(), arg) : 0; }

// A new object of `type` holding `value`. The value is built before the
// object exists, so a failing constructor leaves nothing behind.
template <class T>
Ref box(PyTypeObject* type, T&& value) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) raise_set();
    new (&unbox<T>(obj)) T(std::move(value));
    return Ref::steal(obj);
}

template <class T>
void boxed_dealloc(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    PyObject_GC_UnTrack(obj);
    unbox<T>(obj).~T();
    type->tp_free(obj);
    Py_DECREF(type);
}

template <class T>
int boxed_traverse(PyObject* obj, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(obj));
    return unbox<T>(obj).traverse(visit, arg);
}

template <class T>
int boxed_clear(PyObject* obj) {
    unbox<T>(obj).clear();
    return 0;
}

// Slots for dealloc, traverse and clear; the type needs Py_TPFLAGS_HAVE_GC
// and basicsize sizeof(Boxed<T>).
#define KV_BOXED_SLOTS(T)                                                                   \
    {Py_tp_dealloc, reinterpret_cast<void*>(::kv::boxed_dealloc<T>)},                        \
        {Py_tp_traverse, reinterpret_cast<void*>(::kv::boxed_traverse<T>)},                  \
        {Py_tp_clear, reinterpret_cast<void*>(::kv::boxed_clear<T>)}

}  // namespace kv
