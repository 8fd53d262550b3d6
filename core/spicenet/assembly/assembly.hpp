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

#include "net_maps.hpp"
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

// The whole set: the record of every subcircuit with elements, by component
// name (a later subcircuit of the same name replaces an earlier one in place,
// and so do its declared ports), made by the module's own
// `_netlist_from_subckt` or by the replaced global, then finished. `Blocks`
// is a road's view of its subcircuits: count(), has_children(i),
// replaced_subckt_fn(i) (the global when replaced, else empty), call(fn, i),
// build(i, memo), component(i), declared(i), built() once every record is
// made, and locate(i), which tells the import's record that an error went
// through block i.
template <class Blocks>
Ref assemble_set(State& st, Blocks& blocks, PyObject* memo) {
    Ref nets = kv::new_dict();
    Ref declared = kv::new_dict();
    for (size_t i = 0; i < blocks.count(); ++i) try {
        if (!blocks.has_children(i)) continue;
        Ref fn = blocks.replaced_subckt_fn(i);
        Ref record = fn ? blocks.call(fn.get(), i) : blocks.build(i, memo);
        Ref component = net::intern(memo, blocks.component(i));
        kv::dict_set(nets.get(), component.get(), record.get());
        Ref ports = blocks.declared(i);
        kv::dict_set(declared.get(), component.get(), ports.get());
    } catch (const kv::PyErrorSet&) {
        blocks.locate(i);
        throw;
    }
    blocks.built();
    return finish_netlist(st, nets.get(), declared.get());
}

}  // namespace spicenet
