// Small object-protocol helpers the PDK functions share: unpacking pairs with
// the runtime's messages, text formatting as an f-string does it, map lookups
// and merges that work for any mapping, and keyword dicts for calls.
#pragma once

#include <initializer_list>
#include <utility>

#include "state.hpp"

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction a PyMethodDef holds.
#define PDK_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

namespace pdk {

// `a, b = obj`, with the runtime's unpacking errors.
std::pair<Ref, Ref> unpack2(PyObject* obj);

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
// list(mapping.items()), list(mapping.keys()), list(mapping.values()): snapshots.
Ref items_of(PyObject* mapping);
Ref keys_of(PyObject* mapping);
Ref values_of(PyObject* mapping);
// del mapping[key]
void del_item(PyObject* mapping, PyObject* key);

// A dict of keyword arguments.
Ref kwargs(std::initializer_list<std::pair<const char*, PyObject*>> items);

// The settings collaborator's `name()` result.
Ref setting(State& st, const char* name);

}  // namespace pdk
