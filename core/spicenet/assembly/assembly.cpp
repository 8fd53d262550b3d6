// Netlist assembly (see assembly.hpp).
#include "assembly.hpp"

#include <vector>

#include "diagnostics.hpp"
#include "ir.hpp"
#include "net_maps.hpp"
#include "ports.hpp"
#include "settings.hpp"

namespace spicenet {

namespace {

// The per-subcircuit calls of assembly, each through its module global.
struct Calls {
    State& st;
    PyObject* keymap;
    PyObject* memo;
    mutable std::vector<Ref> generic;  // "o1", "o2", ... by position

    Ref get_ports(PyObject* component) const {
        // Always through the attribute: it is the cache.
        Ref fn = st.current(fn_get_ports);
        return kv::call(fn.get(), {component});
    }

    Ref get_port(PyObject* ports, Py_ssize_t i) const {
        Ref fn = st.current(fn_get_port);
        if (st.functions.is_own(fn_get_port, fn.get())) {
            kv::check_type("ports", ports, kv::Type::Tuple, false);
            if (i < PyTuple_GET_SIZE(ports)) return Ref::borrow(PyTuple_GET_ITEM(ports, i));
            // Generic names repeat from element to element: make each once.
            const auto at = static_cast<size_t>(i);
            if (at >= generic.size()) generic.resize(at + 1);
            if (!generic[at]) generic[at] = spicenet::get_port(ports, i);
            return generic[at];
        }
        Ref position = kv::own(PyLong_FromSsize_t(i));
        return kv::call(fn.get(), {ports, position.get()});
    }

    Ref patch_settings(PyObject* settings) const {
        Ref fn = st.current(fn_patch_settings);
        if (st.functions.is_own(fn_patch_settings, fn.get()))
            return spicenet::patch_settings(st, settings, keymap, memo);
        return kv::call(fn.get(), {settings, keymap});
    }

    Ref parse_location_comment(PyObject* comment) const {
        Ref fn = st.current(fn_parse_location_comment);
        if (st.functions.is_own(fn_parse_location_comment, fn.get())) {
            kv::check_type("comment", comment, kv::Type::Str, false);
            return spicenet::parse_location_comment(st, comment);
        }
        return kv::call(fn.get(), {comment});
    }
};

// Appends `ref` to table[node], creating the list on first sight.
void file_pin(PyObject* table, PyObject* node, PyObject* ref) {
    Ref list = kv::dict_get(table, node);
    if (list) return kv::list_append(list.get(), ref);
    list = kv::new_list();
    kv::list_append(list.get(), ref);
    kv::dict_set(table, node, list.get());
}

}  // namespace

Ref netlist_from_subckt(State& st, PyObject* ir, PyObject* subckt, PyObject* keymap, PyObject* comments,
                        PyObject* memo) {
    auto& b = st.names;
    const Calls calls{st, keymap, memo, {}};
    if (comments == Py_None) comments = nullptr;
    if (comments && !kv::ok(PyObject_IsTrue(comments))) comments = nullptr;

    Ref declared = kv::attr(subckt, b.ports.get());
    Ref declared_set = kv::own(PyFrozenSet_New(declared.get()));
    Ref ports = kv::new_dict();
    Ref nets = kv::new_dict();       // node -> references, in first-seen order
    Ref on_declared = kv::new_dict();  // declared node -> every reference filed there
    Ref instances = kv::new_dict();
    Ref placements = kv::new_dict();

    Ref children = kv::attr(subckt, b.children_ids.get());
    Ref it = kv::own(PyObject_GetIter(children.get()));
    while (Ref id = Ref::steal(PyIter_Next(it.get()))) {
        Ref item = kv::dict_get(ir, id.get());
        if (!item) net::raise_key_error(id.get());

        Ref component = net::intern(memo, kv::attr(item.get(), b.component.get()));
        Ref item_ports = calls.get_ports(component.get());

        Ref name = kv::attr(item.get(), b.name.get());
        Ref settings = kv::attr(item.get(), b.settings.get());
        Ref instance = kv::new_dict();
        kv::dict_set(instance.get(), b.component.get(), component.get());
        Ref patched = calls.patch_settings(settings.get());
        kv::dict_set(instance.get(), b.settings.get(), patched.get());
        kv::dict_set(instances.get(), name.get(), instance.get());

        if (comments) {
            Ref comment = net::lookup(comments, id.get());
            if (comment) {
                Ref placement = calls.parse_location_comment(comment.get());
                if (kv::ok(PyObject_IsTrue(placement.get())))
                    kv::dict_set(placements.get(), name.get(), placement.get());
            }
        }

        Ref nodes = kv::attr(item.get(), b.ports.get());
        Ref seq = kv::own(PySequence_Fast(nodes.get(), "element ports must be iterable"));
        Ref name_text = PyUnicode_Check(name.get()) ? name : kv::to_text(name.get());
        Ref name_comma = kv::own(PyUnicode_Concat(name_text.get(), st.names.comma.get()));
        for (Py_ssize_t i = 0, n = PySequence_Fast_GET_SIZE(seq.get()); i < n; ++i) {
            Ref node = net::intern(memo, Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), i)));
            Ref port = calls.get_port(item_ports.get(), i);
            Ref port_text = PyUnicode_Check(port.get()) ? port : kv::to_text(port.get());
            Ref ref = kv::own(PyUnicode_Concat(name_comma.get(), port_text.get()));
            if (kv::ok(PySet_Contains(declared_set.get(), node.get()))) {
                kv::dict_set(ports.get(), node.get(), ref.get());
                file_pin(on_declared.get(), node.get(), ref.get());
            } else {
                file_pin(nets.get(), node.get(), ref.get());
            }
        }
    }
    if (PyErr_Occurred()) kv::raise_set();

    // Only one pin can stay on a declared port; say so when others were dropped.
    Py_ssize_t pos = 0;
    PyObject *node, *refs;  // borrowed from the tables below
    while (PyDict_Next(on_declared.get(), &pos, &node, &refs)) {
        if (PyList_GET_SIZE(refs) < 2) continue;
        warn_port_overconnected(st, node, refs);
    }

    Ref connections = kv::new_dict();
    pos = 0;
    while (PyDict_Next(nets.get(), &pos, &node, &refs)) {
        const Py_ssize_t count = PyList_GET_SIZE(refs);
        if (count == 1) {
            kv::dict_set(ports.get(), node, PyList_GET_ITEM(refs, 0));
        } else if (count == 2) {
            kv::dict_set(connections.get(), PyList_GET_ITEM(refs, 0), PyList_GET_ITEM(refs, 1));
        } else {
            raise_net_overconnected(st, node, refs);
        }
    }

    Ref own_settings = kv::attr(subckt, b.settings.get());
    Ref patched = calls.patch_settings(own_settings.get());

    return make_record(st, instances.get(), connections.get(), ports.get(), patched.get(), placements.get());
}

Ref make_record(State& st, PyObject* instances, PyObject* connections, PyObject* ports, PyObject* settings,
                PyObject* placements) {
    auto& b = st.names;
    Ref record = kv::new_dict();
    kv::dict_set(record.get(), b.instances.get(), instances);
    kv::dict_set(record.get(), b.connections.get(), connections);
    kv::dict_set(record.get(), b.ports.get(), ports);
    kv::dict_set(record.get(), b.settings.get(), settings);
    kv::dict_set(record.get(), b.placements.get(), placements);
    return record;
}

Ref recursive_netlist_from_ir(State& st, PyObject* ir, PyObject* keymap, PyObject* comments) {
    auto& b = st.names;
    Ref memo = kv::new_dict();

    Ref subckt_type = kv::global(st.module, b.Subckt.get());
    Ref values = kv::own(PyDict_Values(ir));
    Ref subckts = kv::new_list();
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(values.get()); i < n; ++i) {
        PyObject* value = PyList_GET_ITEM(values.get(), i);
        if (kv::ok(PyObject_IsInstance(value, subckt_type.get()))) kv::list_append(subckts.get(), value);
    }

    // Records by component name; a later subcircuit of the same name replaces
    // an earlier one in place, and so do its declared ports.
    Ref nets = kv::new_dict();
    Ref declared = kv::new_dict();
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(subckts.get()); i < n; ++i) {
        PyObject* subckt = PyList_GET_ITEM(subckts.get(), i);
        Ref children = kv::attr(subckt, b.children_ids.get());
        if (!kv::ok(PyObject_IsTrue(children.get()))) continue;
        Ref fn = st.current(fn_netlist_from_subckt);
        Ref record;
        if (st.functions.is_own(fn_netlist_from_subckt, fn.get())) {
            kv::check_type("ir", ir, kv::Type::Dict, false);
            kv::check_type("settings_keymap", keymap, kv::Type::Dict, false);
            kv::check_type("comments", comments, kv::Type::Dict, true);
            record = netlist_from_subckt(st, ir, subckt, keymap, comments, memo.get());
        } else {
            record = kv::call(fn.get(), {ir, subckt, keymap, comments});
        }
        Ref component = net::intern(memo.get(), kv::attr(subckt, b.component.get()));
        kv::dict_set(nets.get(), component.get(), record.get());
        Ref ports = kv::attr(subckt, b.ports.get());
        kv::dict_set(declared.get(), component.get(), ports.get());
    }

    return finish_netlist(st, nets.get(), declared.get());
}

namespace {

long item_as_long(PyObject* tuple, Py_ssize_t i) {
    if (!PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) <= i) return -1;
    const long value = PyLong_AsLong(PyTuple_GET_ITEM(tuple, i));
    if (value == -1 && PyErr_Occurred()) kv::raise_set();
    return value;
}

// Records built in C++ are all in the collector's youngest generation: it
// runs only with Python code. The first Python code after them (the
// normalisation) would collect that generation, moving them to the middle
// one, and the collections the normalisation's own allocations bring would
// traverse them there once more. When the young generation is large, one
// collection of the two younger generations now moves them straight to the
// oldest, at the cost of the pass that was due anyway. A disabled collector
// is left alone.
void collect_young_records() {
    if (!PyGC_IsEnabled()) return;
    Ref gc = kv::import("gc");
    Ref count = kv::call_method(gc.get(), "get_count");
    Ref threshold = kv::call_method(gc.get(), "get_threshold");
    const long young = item_as_long(count.get(), 0);
    const long first = item_as_long(threshold.get(), 0), second = item_as_long(threshold.get(), 1);
    if (first <= 0 || second <= 0 || young / first < second) return;
    Ref middle = kv::own(PyLong_FromLong(1));
    (void)kv::call_method(gc.get(), "collect", {middle.get()});
}

}  // namespace

Ref finish_netlist(State& st, PyObject* nets, PyObject* declared) {
    auto& b = st.names;
    collect_young_records();
    Ref nodalis = kv::global(st.module, b.nodalis.get());
    Ref normalise = kv::attr(nodalis.get(), b.netlist.get());
    Ref normalised = kv::call(normalise.get(), {nets});
    if (!PyDict_Check(normalised.get())) {
        Ref model_dump = kv::attr(normalised.get(), b.model_dump.get());
        normalised = kv::call(model_dump.get());
    }

    Ref patch = st.current(fn_patch_ports);
    if (st.functions.is_own(fn_patch_ports, patch.get())) {
        kv::check_type("netlist", normalised.get(), kv::Type::Dict, false);
        patch_ports(st, normalised.get(), declared);
    } else {
        (void)kv::call(patch.get(), {normalised.get(), declared});
    }

    // The assembled placements replace whatever normalisation left.
    Ref keys = kv::own(PyMapping_Keys(normalised.get()));
    const Py_ssize_t count = PyList_GET_SIZE(keys.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* key = PyList_GET_ITEM(keys.get(), i);
        Ref record = kv::own(PyObject_GetItem(normalised.get(), key));
        Ref assembled = net::item(nets, key);
        Ref placements = net::item(assembled.get(), b.placements.get());
        kv::ok(PyObject_SetItem(record.get(), b.placements.get(), placements.get()));
    }

    Ref result = kv::new_dict();
    for (Py_ssize_t i = count - 1; i >= 0; --i) {
        PyObject* key = PyList_GET_ITEM(keys.get(), i);
        Ref record = kv::own(PyObject_GetItem(normalised.get(), key));
        kv::dict_set(result.get(), key, record.get());
    }
    return result;
}

// --- module functions ----------------------------------------------------------

namespace {

PyObject* py_netlist_from_subckt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature sig(
            "_netlist_from_subckt", {kv::req("ir", kv::Type::Dict), kv::req("subckt"),
                                     kv::req("settings_keymap", kv::Type::Dict), kv::opt("comments", kv::Type::Dict)});
        kv::Args a = kv::bind(sig, args, nargs, kwnames);
        Ref memo = kv::new_dict();
        return netlist_from_subckt(state(), a[0], a[1], a[2], a.get(3, Py_None), memo.get());
    });
}

PyObject* py_recursive_netlist_from_ir(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature sig("_recursive_netlist_from_ir",
                                       {kv::req("ir", kv::Type::Dict), kv::req("settings_keymap", kv::Type::Dict),
                                        kv::req("comments", kv::Type::Dict)});
        kv::Args a = kv::bind(sig, args, nargs, kwnames);
        return recursive_netlist_from_ir(state(), a[0], a[1], a[2]);
    });
}

PyMethodDef def_netlist_from_subckt = {
    "_netlist_from_subckt", kv::fastcall<py_netlist_from_subckt>(), METH_FASTCALL | METH_KEYWORDS,
    "_netlist_from_subckt($module, ir, subckt, settings_keymap, comments=None)\n--\n\n"
    "The netlist record of one subcircuit: instances, connections, ports,\n"
    "settings and placements."};
PyMethodDef def_recursive_netlist_from_ir = {
    "_recursive_netlist_from_ir", kv::fastcall<py_recursive_netlist_from_ir>(), METH_FASTCALL | METH_KEYWORDS,
    "_recursive_netlist_from_ir($module, ir, settings_keymap, comments)\n--\n\n"
    "The netlist records of every subcircuit with elements, normalised, keyed\n"
    "by component name, the subcircuit closed last first."};

}  // namespace

void register_assembly(State& st) {
    st.functions.add(st.module, fn_netlist_from_subckt, &def_netlist_from_subckt);
    st.functions.add(st.module, fn_recursive_netlist_from_ir, &def_recursive_netlist_from_ir);
}

}  // namespace spicenet
