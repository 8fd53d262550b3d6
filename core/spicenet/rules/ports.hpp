// Port names of components. Circuit primitives have fixed port tuples; any
// other component is looked up in the active PDK, among its circuit models
// first and its cells second, and the names found are put in canonical
// order. A pin beyond the known ports gets the generic name o<position>.
//
// The module attribute `_get_ports` is a functools LRU cache (128 entries)
// around the C function; callers go through that attribute.
#pragma once

#include "state.hpp"

namespace spicenet {

// Port tuple of `component` (a str), without the cache.
Ref get_ports(State& st, PyObject* component);
// Port tuple from the PDK's models / cells (empty when unknown).
Ref get_ports_from_model(State& st, PyObject* component);
Ref get_ports_from_component(State& st, PyObject* component);
// Canonical order of an iterable of port names, as a tuple.
Ref sort_ports(State& st, PyObject* ports);
// Name of the pin at position `i` (>= 0) of an element whose component has
// the port tuple `ports`.
Ref get_port(PyObject* ports, Py_ssize_t i);

}  // namespace spicenet
