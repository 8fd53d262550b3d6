// korvane.core.spicenet: binds the module-level names in their load order and
// registers the functions of each concern. The logic lives in the concern
// files (lines, values, words, ir, ports, settings, assembly, entry).
#include "state.hpp"

namespace spicenet {

namespace {

Ref tuple_of_names(std::initializer_list<const char*> names) {
    Ref tuple = kv::own(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* name : names) PyTuple_SET_ITEM(tuple.get(), i++, kv::interned(name).release());
    return tuple;
}

void make_names(State::Names& n) {
    for (auto [field, text] : std::initializer_list<std::pair<Ref*, const char*>>{
             {&n.id, "id"}, {&n.name, "name"}, {&n.component, "component"}, {&n.ports, "ports"},
             {&n.settings, "settings"}, {&n.parent_id, "parent_id"}, {&n.children_ids, "children_ids"},
             {&n.instances, "instances"}, {&n.connections, "connections"}, {&n.placements, "placements"},
             {&n.x, "x"}, {&n.y, "y"}, {&n.rotation, "rotation"}, {&n.port, "port"}, {&n.models, "models"},
             {&n.cells, "cells"}, {&n.get_pdk, "get_pdk"}, {&n.get_ports, "get_ports"}, {&n.netlist, "netlist"},
             {&n.model_dump, "model_dump"}, {&n.Subckt, "Subckt"}, {&n.Conn, "Conn"},
             {&n.ParseError, "ParseError"}, {&n.ParseWarning, "ParseWarning"}, {&n.kv_pdk, "kv_pdk"},
             {&n.nodalis, "nodalis"}, {&n.natsorted, "natsorted"}, {&n.resistor, "resistor"},
             {&n.capacitor, "capacitor"}, {&n.comma, ","}, {&n.ast, "ast"},
             {&n.literal_eval, "literal_eval"}})
        *field = kv::interned(text);
    n.subckt_fields = tuple_of_names({"id", "component", "ports", "settings", "parent_id", "children_ids"});
    n.conn_fields = tuple_of_names({"id", "name", "component", "ports", "settings", "parent_id"});
    n.source_ports = tuple_of_names({"minus", "plus", "out", "gnd_"});
    n.two_pins = tuple_of_names({"minus", "plus"});
}

}  // namespace

static void bind_standard_names(State& st, PyObject* m) {
    st.ast = kv::import("ast");
    st.literal_eval = kv::attr(st.ast.get(), "literal_eval");
    kv::bind(m, "ast", st.ast.get());
    kv::bind(m, "re", kv::import("re").get());
    kv::bind(m, "warnings", kv::import("warnings").get());
    for (auto [name, from] : std::initializer_list<std::pair<const char*, const char*>>{
             {"Callable", "collections.abc"}, {"Generator", "collections.abc"}, {"Iterable", "collections.abc"},
             {"Sequence", "collections.abc"}, {"suppress", "contextlib"}, {"dataclass", "dataclasses"},
             {"lru_cache", "functools"}, {"TextIOWrapper", "io"}, {"Path", "pathlib"}, {"TYPE_CHECKING", "typing"},
             {"Any", "typing"}, {"Literal", "typing"}})
        kv::bind_from(m, name, from);
}

static void init(PyObject* m) {
    State& st = kv::ModuleState<State>::create(m);
    make_names(st.names);

    bind_standard_names(st, m);
    kv::bind_from(m, "lazy_import", "korvane.core.lazy");
    kv::bind_lazy(m, "nodalis", "nodalis");
    kv::bind_lazy(m, "kv_pdk", "korvane.core.pdk");
    kv::bind_lazy(m, "natsorted", "natsort", "natsorted");
    Ref all = kv::new_list();
    kv::list_append(all.get(), kv::interned("parse_oc_spice").get());
    kv::bind(m, "__all__", all.get());

    register_lines(st);
    register_values(st);
    register_literals(st);
    register_words(st);
    register_ir(st);
    register_ports(st);
    register_settings(st);
    register_assembly(st);
    register_entry(st);
}

}  // namespace spicenet

KORVANE_MODULE(spicenet, spicenet::init)
