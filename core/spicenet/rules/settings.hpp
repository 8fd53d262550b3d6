// Settings patching and port patching of the assembled netlist.
//
// Settings: names sorted by character code, translated through the caller's
// key map, then lengths in metres rescaled to micrometres (`_convert_um`).
// Ports: instances of the file's own subcircuits carry generic pin names
// o1, o2, ...; each o<n> is replaced by the n-th port of that subcircuit.
#pragma once

#include "state.hpp"

namespace spicenet {

// The name a setting carries in the record: `keymap[name]` when the key map
// (a dict) has the name, else the name itself; interned in `memo` when given.
Ref settings_key(PyObject* keymap, PyObject* name, PyObject* memo);

// A new dict with the names of `settings` (a dict) in sorted order,
// translated through `keymap` (a dict). New keys are interned in `memo` when
// it is given.
Ref map_settings_keys(State& st, PyObject* settings, PyObject* keymap, PyObject* memo = nullptr);

// `_map_settings_keys` then `_convert_um`, both through the module globals
// (type errors for arguments that are not dicts).
Ref patch_settings(State& st, PyObject* settings, PyObject* keymap, PyObject* memo = nullptr);

// Rewrites "connections" and "ports" of every record of `netlist` (a dict).
// o<n> of an instance of component k maps to the n-th name of
// `declared_ports[k]` when `declared_ports` (a dict or NULL) has k, else to
// the n-th key of the "ports" of k's record.
void patch_ports(State& st, PyObject* netlist, PyObject* declared_ports);

}  // namespace spicenet
