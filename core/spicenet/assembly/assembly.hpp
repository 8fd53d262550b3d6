// Netlist assembly: one netlist record per subcircuit of the IR, with
// "instances", "connections", "ports", "settings" and "placements"; the whole
// set normalised by nodalis, generic pin names replaced, placements put back,
// and returned with the subcircuit closed last first.
//
// Each pin becomes the instance port reference "<instance>,<port>", built once.
// A node on a declared port sets that port; any other node joins the pins
// that touch it: one pin makes an external port, two a connection, three or
// more a ParseError.
#pragma once

#include "state.hpp"

namespace spicenet {

// The record of one subcircuit. `comments` may be NULL or None; `memo` (a
// dict or NULL) makes repeated texts of one import the same objects.
Ref netlist_from_subckt(State& st, PyObject* ir, PyObject* subckt, PyObject* keymap, PyObject* comments,
                        PyObject* memo);

// A netlist record: the five sections in their fixed order.
Ref make_record(State& st, PyObject* instances, PyObject* connections, PyObject* ports, PyObject* settings,
                PyObject* placements);

// The records of every subcircuit that has elements (dict arguments).
Ref recursive_netlist_from_ir(State& st, PyObject* ir, PyObject* keymap, PyObject* comments);

// The end of assembly: `nets` (component -> record) normalised by nodalis,
// generic pin names replaced using `declared` (component -> declared ports),
// placements put back, and the set returned in reverse key order.
Ref finish_netlist(State& st, PyObject* nets, PyObject* declared);

}  // namespace spicenet
