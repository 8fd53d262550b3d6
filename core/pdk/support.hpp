// Small object-protocol helpers the PDK functions share: unpacking pairs with
// the runtime's messages, text formatting as an f-string does it, map lookups
// and merges that work for any mapping, and keyword dicts for calls.
#pragma once

#include <initializer_list>
#include <utility>

#include "state.hpp"
#include "unpack.hpp"


namespace pdk {

// format(obj, ""), which is what an f-string does with a value.
Ref format_text(PyObject* obj);
// The concatenation of texts (each exactly or derived from str).
Ref cat(std::initializer_list<PyObject*> parts);

bool truthy(PyObject* obj);
bool equal(PyObject* a, PyObject* b);
// `item in container`
bool contains(PyObject* container, PyObject* item);

// `mapping.get(key)`: an empty Ref for a missing key or a None value.
Ref get_item(PyObject* mapping, PyObject* key);
// `target.update(source)`
void merge(PyObject* target, PyObject* source);
// list(mapping.keys()): a snapshot, for the walks that change the map.
Ref keys_of(PyObject* mapping);
// del mapping[key]
void del_item(PyObject* mapping, PyObject* key);

// `for item in iterable: body(item)`. Each item is held while the body runs,
// so code the body calls cannot free it under us.
template <class F>
void for_each(PyObject* iterable, F&& body) {
    Ref it = kv::own(PyObject_GetIter(iterable));
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) body(item.get());
    if (PyErr_Occurred()) kv::raise_set();
}

// `for key, value in mapping.items(): body(key, value)`, walked live as a
// for loop walks it: a map changed during the walk (by a collaborator or a
// replaced function the body calls) raises the runtime's own error, such as
// "dictionary changed size during iteration".
template <class F>
void for_each_item(PyObject* mapping, F&& body) {
    Ref view = kv::call_method(mapping, "items");
    for_each(view.get(), [&](PyObject* item) {
        auto [key, value] = kv::unpack_pair(item);
        body(key.get(), value.get());
    });
}

// `for value in mapping.values(): body(value)`, walked live.
template <class F>
void for_each_value(PyObject* mapping, F&& body) {
    Ref view = kv::call_method(mapping, "values");
    for_each(view.get(), body);
}

// A dict of keyword arguments.
Ref kwargs(std::initializer_list<std::pair<const char*, PyObject*>> items);

// The settings collaborator's `name()` result.
Ref setting(State& st, const char* name);

}  // namespace pdk
