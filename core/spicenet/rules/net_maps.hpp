// Helpers shared by port resolution, settings patching and netlist assembly:
// mapping look-ups that also serve mappings other than dict, the per-import
// memo of repeated texts, prefix tests on str without conversion, and the
// runtime's key error.
#pragma once

#include <string_view>

#include "state.hpp"
#include "unpack.hpp"

namespace spicenet::net {

// mapping[key], or an empty Ref when the key is absent.
Ref lookup(PyObject* mapping, PyObject* key);

// mapping[key]; a missing key raises KeyError(key).
Ref item(PyObject* mapping, PyObject* key);

// Raises KeyError with `key` as its only argument, as a failed subscription does.
[[noreturn]] void raise_key_error(PyObject* key);

// The runtime's error for a dict that changed size while it was walked.
[[noreturn]] void raise_changed_size();

// The memo's copy of an exact str (the first one seen is kept); any other
// value comes back unchanged. Makes texts that repeat within one import the
// same object.
Ref intern(PyObject* memo, Ref value);

// Whether the str `s` starts with the ASCII text `prefix`.
bool starts_with(PyObject* s, std::string_view prefix);

// Calls fn(key, value) for every item of a mapping, in its order. Both are
// held while fn runs. A dict whose size changes meanwhile raises the
// runtime's RuntimeError; any other mapping is walked through the iterator
// of its items(), as a for loop walks it.
template <class F>
void for_each_item(PyObject* mapping, F&& fn) {
    if (PyDict_CheckExact(mapping)) {
        const Py_ssize_t size = PyDict_GET_SIZE(mapping);
        Py_ssize_t pos = 0;
        PyObject *k, *v;  // borrowed, then held while fn runs
        while (PyDict_Next(mapping, &pos, &k, &v)) {
            Ref key = Ref::borrow(k), value = Ref::borrow(v);
            fn(key.get(), value.get());
            if (PyDict_GET_SIZE(mapping) != size) raise_changed_size();
        }
        return;
    }
    Ref items = kv::own(PyMapping_Items(mapping));
    Ref it = kv::own(PyObject_GetIter(items.get()));
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2)
            kv::raise(PyExc_TypeError, "items() must give (key, value) pairs");
        fn(PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1));  // held by the pair
    }
    if (PyErr_Occurred()) kv::raise_set();
}

}  // namespace spicenet::net
