// Objects that nest through Python references (a stream over a stream, a
// chain of chains) guard their depth the runtime's way: the step that pulls
// from or calls the inner object counts as a recursive call (a
// RecursionError past the runtime's limit, never an overflow of the native
// stack), and freeing goes through the runtime's trashcan, which breaks a
// long chain of deallocations into pieces of bounded depth.
#pragma once

#include "boxed.hpp"

namespace spicenet {

// One level of recursion, as the runtime counts calls, while alive.
class RecursionGuard {
  public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where)) kv::raise_set();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
};

// kv::boxed_dealloc on the trashcan: a value whose references lead to more
// objects of its own type is freed without a native recursion per level.
template <class T>
void nested_dealloc(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    PyObject_GC_UnTrack(obj);  // the trashcan keeps only untracked objects
    Py_TRASHCAN_BEGIN(obj, nested_dealloc<T>)
    kv::unbox<T>(obj).~T();
    type->tp_free(obj);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

// KV_BOXED_SLOTS with the deallocator above.
#define SPICENET_NESTED_SLOTS(T)                                                        \
    {Py_tp_dealloc, reinterpret_cast<void*>(::spicenet::nested_dealloc<T>)},             \
        {Py_tp_traverse, reinterpret_cast<void*>(::kv::boxed_traverse<T>)},              \
        {Py_tp_clear, reinterpret_cast<void*>(::kv::boxed_clear<T>)}

}  // namespace spicenet
