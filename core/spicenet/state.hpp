// State of korvane.core.spicenet: the one module object, its own function
// objects (for late binding with a fast path), the record and error types and
// interned strings. Created once at module exec; lives as long as the module.
#pragma once

#include "args.hpp"
#include "module.hpp"
#include "objects.hpp"

namespace spicenet {

using kv::Ref;

// Every function of the module, in one enumeration (FunctionTable indexes).
enum Fn : size_t {
    // lines
    fn_chain,
    fn_iter_relevant_lines,
    fn_strip_lines,
    fn_join_continuations,
    fn_standardize_spaces,
    fn_filter_empty,
    fn_split_comments,
    fn_split_words,
    // values
    fn_parse_value,
    fn_eval,
    fn_is_probably_um,
    fn_convert_um,
    // words
    fn_handle_sources,
    fn_get_ir_ports,
    fn_get_ir_settings,
    fn_get_parent_id,
    // ir
    fn_parse_oc_spice_into_ir,
    fn_parse_into_ir,
    fn_parse_location_comment,
    // ports
    fn_get_ports,
    fn_get_ports_from_model,
    fn_get_ports_from_component,
    fn_sort_ports,
    fn_get_port,
    // settings
    fn_map_settings_keys,
    fn_patch_settings,
    fn_patch_ports,
    // assembly
    fn_netlist_from_subckt,
    fn_recursive_netlist_from_ir,
    // entry
    fn_parse_oc_spice,
    fn_count
};

struct State {
    PyObject* module = nullptr;  // borrowed: the module outlives its state
    kv::FunctionTable functions{fn_count};
    // Counts the times the module ran code that may change its globals (an
    // expression, a port look-up of the PDK, a replaced function); what a hot
    // path learnt about the globals holds while the count stays.
    uint64_t calls_out = 0;

    // Types created at exec (ir.cpp).
    Ref ParseError;
    Ref ParseWarning;
    Ref Subckt;
    Ref Conn;

    // --- front half (lines, values, words, ir): add fields below ---------

    // Types of the lazy line and word streams and of `_chain` results
    // (lines.cpp), and what the IR builder reuses for every record (ir.cpp).
    struct FrontNames {
        Ref stream_type, chain_type;
        Ref subckt_fields, conn_fields;  // keyword names of the record fields
        Ref id, settings, children_ids;  // attribute names
        Ref Subckt, Conn;                // global names of the record types
        Ref resistor, capacitor;
        Ref x, y, rotation, port;        // keys of a placement
    } front;

    // --- back half (ports, settings, assembly, entry): add fields below --

    // Interned names and fixed port tuples of port resolution, settings
    // patching and assembly (filled by register_ports).
    struct BackNames {
        Ref component, settings, instances, connections, ports, placements;
        Ref name, children_ids, models, cells, get_pdk, get_ports, netlist, model_dump;
        Ref Subckt, ParseError, ParseWarning, kv_pdk, nodalis, natsorted, comma;
        Ref source_ports;  // ("minus", "plus", "out", "gnd_")
        Ref two_pins;      // ("minus", "plus")
    } back;
};

// The module's state; valid after exec.
State& state();

// Each concern registers its functions (and creates what it owns) at exec, in
// this order. Defined in the concern's own file.
void register_lines(State& st);
void register_values(State& st);
void register_words(State& st);
void register_ir(State& st);
void register_ports(State& st);
void register_settings(State& st);
void register_assembly(State& st);
void register_entry(State& st);

}  // namespace spicenet
