// Netlist assembly (see assembly.hpp).
#include "assembly.hpp"

#include <vector>

#include "bound.hpp"
#include "late_calls.hpp"
#include "net_maps.hpp"
#include "records.hpp"
#include "text_unicode.hpp"

namespace spicenet {

namespace {

// The nets of a subcircuit by node object, in first-seen order; a node is
// declared when it is one of the subcircuit's ports.
class NodeNets {
  public:
    NodeNets(NetTable& nets, PyObject* declared) : nets_(nets), declared_(kv::own(PyFrozenSet_New(declared))) {}

    uint32_t of(PyObject* node) {
        Ref at = kv::dict_get(index_.get(), node);
        if (at) return static_cast<uint32_t>(PyLong_AsSize_t(at.get()));
        const bool declared = kv::ok(PySet_Contains(declared_.get(), node));
        const uint32_t added = nets_.add(static_cast<uint32_t>(nodes_.size()), declared);
        nodes_.push_back(Ref::borrow(node));
        Ref position = kv::own(PyLong_FromSize_t(added));
        kv::dict_set(index_.get(), node, position.get());
        return added;
    }
    PyObject* object(uint32_t node) const { return nodes_[node].get(); }

  private:
    NetTable& nets_;
    Ref declared_;
    Ref index_ = kv::new_dict();  // node -> its net
    std::vector<Ref> nodes_;
};

// Files the pins of element `item` (named `name`, with resolved ports
// `item_ports`), walking its nodes as a for loop walks them.
template <class Calls>
void file_pins(State& st, Calls& calls, SubcktRecord& record, NodeNets& nodes, PinReferences& refs,
               PyObject* item, PyObject* name, PyObject* item_ports) {
    Ref node_list = kv::attr(item, st.names.ports.get());
    Ref it = Ref::steal(PyObject_GetIter(node_list.get()));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) PyErr_SetString(PyExc_TypeError, "element ports must be iterable");
        kv::raise_set();
    }
    // The instance name of the pins, as UTF-8.
    const Ref name_str = PyUnicode_Check(name) ? Ref::borrow(name) : kv::to_text(name);
    const text::Utf8 name_text(name_str.get());
    Py_ssize_t i = 0;
    while (Ref given = Ref::steal(PyIter_Next(it.get()))) {
        Ref node = net::intern(calls.memo(), std::move(given));
        Ref port = calls.get_port(item_ports, i++);
        Ref ref = Ref::borrow(refs.of(name_text.view, name_str.get(), port.get()));
        record.pin(nodes.of(node.get()), ref.get(), [&] { return node.get(); });
    }
    if (PyErr_Occurred()) kv::raise_set();
}

// Tells the running import's record the block an error went through: the
// id and component of its Subckt, read with the error put aside.
void locate_block(State& st, PyObject* subckt) noexcept {
    if (!st.where.importing()) return;
    Ref id, component;
    Where::aside([&] {
        id = kv::attr(subckt, st.names.id.get());
        component = kv::attr(subckt, st.names.component.get());
    });
    st.where.at_objects(nullptr, id.get());
    st.where.block_name(component.get());
}

}  // namespace

Ref netlist_from_subckt(State& st, PyObject* ir, PyObject* subckt, PyObject* keymap, PyObject* comments,
                        PyObject* memo) try {
    auto& b = st.names;
    LookedUpEachTime owned{st};
    ElementCalls calls(st, owned, keymap, memo);
    if (comments == Py_None) comments = nullptr;
    if (comments && !kv::ok(PyObject_IsTrue(comments))) comments = nullptr;

    Ref declared = kv::attr(subckt, b.ports.get());
    NetTable nets;
    NodeNets nodes(nets, declared.get());
    SubcktRecord record(st, nets, 0);
    TextArena arena;
    TextMemo texts;
    PinReferences refs(arena, texts);

    Ref children = kv::attr(subckt, b.children_ids.get());
    Ref it = kv::own(PyObject_GetIter(children.get()));
    PyVector<std::pair<Py_ssize_t, size_t>> starts;  // per element: its position, its first pin
    while (Ref id = Ref::steal(PyIter_Next(it.get()))) try {
        Ref item = kv::dict_get(ir, id.get());
        if (!item) net::raise_key_error(id.get());
        Ref component = net::intern(memo, kv::attr(item.get(), b.component.get()));
        Ref item_ports = calls.get_ports(component.get());
        Ref name = kv::attr(item.get(), b.name.get());
        Ref settings = kv::attr(item.get(), b.settings.get());
        Ref patched = calls.patch_settings(settings.get());
        record.instance(name.get(), component.get(), patched.get());
        if (Ref comment = comments ? net::lookup(comments, id.get()) : Ref()) {
            Ref placement = calls.parse_location_comment(comment.get());
            record.place(name.get(), placement.get());
        }
        starts.emplace_back(Where::position_of(id.get()), nets.pins());
        file_pins(st, calls, record, nodes, refs, item.get(), name.get(), item_ports.get());
    } catch (const kv::PyErrorSet&) {
        st.where.at_objects(id.get(), nullptr);
        throw;
    }
    if (PyErr_Occurred()) kv::raise_set();

    Ref own_settings = kv::attr(subckt, b.settings.get());
    Ref patched = calls.patch_settings(own_settings.get());
    // The element of each pin, for the note of a net with too many.
    auto elements = [&](const PyVector<uint32_t>& places, Where::Pins& out) {
        size_t k = 0;
        for (size_t j = 0; j < starts.size(); ++j) {
            const size_t end = j + 1 < starts.size() ? starts[j + 1].second : SIZE_MAX;
            for (; k < places.size() && places[k] < end; ++k)
                if (starts[j].first) out.add(starts[j].first);
        }
    };
    return record.finish(patched.get(), [&](uint32_t node) { return nodes.object(node); }, elements);
} catch (const kv::PyErrorSet&) {
    locate_block(st, subckt);
    throw;
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

namespace {

// The subcircuits of an IR map, for the whole-set assembly.
class IrBlocks {
  public:
    IrBlocks(State& st, PyObject* ir, PyObject* keymap, PyObject* comments)
        : st_(st), ir_(ir), keymap_(keymap), comments_(comments) {
        Ref subckt_type = kv::global(st.module, st.names.Subckt.get());
        Ref values = kv::own(PyDict_Values(ir));  // a list of this call's own
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
            Ref value = Ref::borrow(PyList_GET_ITEM(values.get(), i));
            if (kv::ok(PyObject_IsInstance(value.get(), subckt_type.get()))) subckts_.push_back(std::move(value));
        }
    }

    size_t count() const { return subckts_.size(); }
    bool has_children(size_t i) {
        Ref children = kv::attr(subckts_[i].get(), st_.names.children_ids.get());
        return kv::ok(PyObject_IsTrue(children.get()));
    }
    Ref replaced_subckt_fn(size_t) { return st_.functions.replaced(st_.module, fn_netlist_from_subckt); }
    Ref call(PyObject* fn, size_t i) { return kv::call(fn, {ir_, subckts_[i].get(), keymap_, comments_}); }
    Ref build(size_t i, PyObject* memo) {
        kv::check_type("ir", ir_, kv::Type::Dict, false);
        kv::check_type("settings_keymap", keymap_, kv::Type::Dict, false);
        kv::check_type("comments", comments_, kv::Type::Dict, true);
        return netlist_from_subckt(st_, ir_, subckts_[i].get(), keymap_, comments_, memo);
    }
    Ref component(size_t i) { return kv::attr(subckts_[i].get(), st_.names.component.get()); }
    Ref declared(size_t i) { return kv::attr(subckts_[i].get(), st_.names.ports.get()); }
    void built() {}
    void locate(size_t i) noexcept { locate_block(st_, subckts_[i].get()); }

  private:
    State& st_;
    PyObject *ir_, *keymap_, *comments_;  // borrowed: the caller's arguments
    std::vector<Ref> subckts_;
};

}  // namespace

Ref recursive_netlist_from_ir(State& st, PyObject* ir, PyObject* keymap, PyObject* comments) {
    IrBlocks blocks(st, ir, keymap, comments);
    Ref memo = kv::new_dict();
    return assemble_set(st, blocks, memo.get());
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
//
// The collector makes its next pass over the middle generation a full one
// when enough such passes ran since the last full one and the objects moved
// to the oldest generation since then are a quarter of those it kept there.
// When that will hold once the records are moved (they alone are a quarter
// of all the runtime's memory blocks, which bound what it keeps), the pass
// made here is that full one: the records are then traversed once, not
// once here and again when the full pass comes.
void collect_young_records() {
    if (!PyGC_IsEnabled()) return;
    Ref gc = kv::import("gc");
    Ref count = kv::call_method(gc.get(), "get_count");
    Ref threshold = kv::call_method(gc.get(), "get_threshold");
    const long young = item_as_long(count.get(), 0);
    const long first = item_as_long(threshold.get(), 0), second = item_as_long(threshold.get(), 1);
    if (first <= 0 || second <= 0 || young / first < second) return;
    const long middle_passes = item_as_long(count.get(), 2), third = item_as_long(threshold.get(), 2);
    Ref sys = kv::import("sys");
    const long blocks = PyLong_AsLong(kv::call_method(sys.get(), "getallocatedblocks").get());
    if (blocks == -1 && PyErr_Occurred()) kv::raise_set();
    const bool full_due = middle_passes + 1 > third && young >= blocks / 4;
    Ref generation = kv::own(PyLong_FromLong(full_due ? 2 : 1));
    (void)kv::call_method(gc.get(), "collect", {generation.get()});
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

    if (Ref patch = st.functions.replaced(st.module, fn_patch_ports)) {
        (void)kv::call(patch.get(), {normalised.get(), declared});
    } else {
        kv::check_type("netlist", normalised.get(), kv::Type::Dict, false);
        patch_ports(st, normalised.get(), declared);
    }

    // The assembled placements replace whatever normalisation left. The keys
    // are a tuple of this call's own: keys() of a dict subclass may give a
    // list its own code keeps changing.
    Ref keys = kv::own(PySequence_Tuple(kv::own(PyMapping_Keys(normalised.get())).get()));
    const Py_ssize_t count = PyTuple_GET_SIZE(keys.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* key = PyTuple_GET_ITEM(keys.get(), i);
        Ref record = kv::own(PyObject_GetItem(normalised.get(), key));
        Ref assembled = net::item(nets, key);
        Ref placements = net::item(assembled.get(), b.placements.get());
        kv::ok(PyObject_SetItem(record.get(), b.placements.get(), placements.get()));
    }

    Ref result = kv::new_dict();
    for (Py_ssize_t i = count - 1; i >= 0; --i) {
        PyObject* key = PyTuple_GET_ITEM(keys.get(), i);
        Ref record = kv::own(PyObject_GetItem(normalised.get(), key));
        kv::dict_set(result.get(), key, record.get());
    }
    return result;
}

// --- module functions ----------------------------------------------------------

namespace {

PyObject* py_netlist_from_subckt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bound_call(args, nargs, kwnames, "_netlist_from_subckt",
                      {kv::req("ir", kv::Type::Dict), kv::req("subckt"),
                       kv::req("settings_keymap", kv::Type::Dict), kv::opt("comments", kv::Type::Dict)},
                      [&](const kv::Args& a) {
        Ref memo = kv::new_dict();
        return nested_call(state().where,
                           [&] { return netlist_from_subckt(state(), a[0], a[1], a[2], a.get(3, Py_None), memo.get()); });
    });
}

PyObject* py_recursive_netlist_from_ir(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    return bound_call(args, nargs, kwnames, "_recursive_netlist_from_ir",
                      {kv::req("ir", kv::Type::Dict), kv::req("settings_keymap", kv::Type::Dict),
                       kv::req("comments", kv::Type::Dict)},
                      [&](const kv::Args& a) {
        return nested_call(state().where, [&] { return recursive_netlist_from_ir(state(), a[0], a[1], a[2]); });
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
