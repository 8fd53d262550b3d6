// The rules of one subcircuit's record, shared by both roads of assembly (the
// IR records of the module functions and the fused import's NativeIr): the
// instance map and placements of each element, the instance port reference
// of each pin, the nets with their classification into external ports and
// connections, the warning for a declared port with several pins and the
// ParseError for a net with three or more. Each road only says where the
// values come from.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arena.hpp"
#include "assembly.hpp"
#include "diagnostics.hpp"
#include "native_ir.hpp"
#include "state.hpp"

namespace spicenet {

// The nets of one subcircuit: the pins filed under each node, in the order
// the nodes were first seen. A node is known by the road's own handle for it
// (a word index, a position in a list of node objects).
class NetTable {
  public:
    // A net for a node seen for the first time.
    uint32_t add(uint32_t node, bool declared) {
        nets_.push_back({node, declared, 0, 0, 0});
        return static_cast<uint32_t>(nets_.size() - 1);
    }
    bool declared(uint32_t at) const { return nets_[at].declared; }
    uint32_t node(uint32_t at) const { return nets_[at].node; }
    size_t size() const { return nets_.size(); }

    // Files the reference of a pin under net `at`; a null reference only
    // counts the pin. The references are those of a PinReferences, whose
    // memo holds them as long as the table needs them.
    void file(uint32_t at, PyObject* ref) {
        Net& net = nets_[at];
        if (ref) {
            if (net.count == 0) net.first = static_cast<uint32_t>(pins_.size());
            if (net.count == 1) net.second = static_cast<uint32_t>(pins_.size());
            pins_.emplace_back(at, ref);
        }
        ++net.count;
    }

    // Whether the nets give neither the warning nor the error below.
    bool quiet() const {
        return quiet_declared() && std::none_of(nets_.begin(), nets_.end(), [](const Net& n) { return n.count > 2; });
    }

    // The number of pins filed.
    size_t pins() const { return pins_.size(); }

    // Warns for every declared port with more than one pin, then enters each
    // other net into `ports` (one pin) or the connections (two pins), or
    // raises the ParseError (three or more). `node_object(node)` gives the
    // str of a node (borrowed); for the ParseError, `elements(pins, out)`
    // adds to `out` the position of the element of each pin (places in the
    // order of filing, ascending). Returns the connections.
    template <class NodeObject, class Elements>
    Ref classify(State& st, PyObject* ports, NodeObject&& node_object, Elements&& elements) {
        if (!quiet_declared()) {
            PyVector<Ref> lists = refs_by_net();
            for (uint32_t at = 0; at < nets_.size(); ++at)
                if (warns(nets_[at])) warn(st, node_object(nets_[at].node), lists[at].get());
        }
        size_t joined = 0;
        for (const Net& net : nets_) joined += !net.declared && net.count == 2;
        Ref connections = presized(joined);
        for (uint32_t at = 0; at < nets_.size(); ++at) {
            const Net& net = nets_[at];
            if (net.declared) continue;
            if (net.count == 1) enter(ports, node_object(net.node), ref(net.first));
            else if (net.count == 2) enter(connections.get(), ref(net.first), ref(net.second));
            else fail(st, node_object(net.node), at, elements);
        }
        return connections;
    }

    void clear() {
        nets_.clear();
        pins_.clear();
    }

    // A dict with room for `entries` keys, so that filling it never resizes it.
    static Ref presized(size_t entries);

  private:
    struct Net {
        uint32_t node;
        bool declared;
        uint32_t count;
        uint32_t first, second;  // positions in pins_
    };
    static bool warns(const Net& net) { return net.declared && net.count > 1; }
    PyObject* ref(uint32_t pin) const { return pins_[pin].second; }
    static void enter(PyObject* dict, PyObject* key, PyObject* value) { kv::dict_set(dict, key, value); }
    bool quiet_declared() const { return std::none_of(nets_.begin(), nets_.end(), warns); }
    // The references filed under each net, as lists (in one pass).
    PyVector<Ref> refs_by_net() const;
    static void warn(State& st, PyObject* node, PyObject* refs);
    // The ParseError of net `at`, telling the import's record the elements on it.
    template <class Elements>
    [[noreturn]] void fail(State& st, PyObject* node, uint32_t at, Elements& elements) const {
        Ref refs = std::move(refs_by_net()[at]);
        try {
            Ref held = Ref::borrow(node);
            raise_net_overconnected(st, held.get(), refs.get());
        } catch (const kv::PyErrorSet&) {
            if (!st.where.importing()) throw;
            PyVector<uint32_t> places;
            for (uint32_t pin = 0; pin < pins_.size(); ++pin)
                if (pins_[pin].first == at) places.push_back(pin);
            Where::Pins on_net;
            elements(places, on_net);
            st.where.pins(on_net);
            throw;
        }
    }

    PyVector<Net> nets_;
    PyVector<std::pair<uint32_t, PyObject*>> pins_;  // borrowed: see file()
};

// The instance port references "<instance>,<port>" of pins, one str per
// distinct text of the import (kept by `texts`, stored in `arena`). A port
// that is not a str is taken as its text.
class PinReferences {
  public:
    PinReferences(TextArena& arena, TextMemo& texts) : arena_(arena), texts_(texts) {}

    // The reference of the pin `port` of the instance named `name` (UTF-8),
    // whose str is `name_str`; borrowed from the memo.
    PyObject* of(std::string_view name, PyObject* name_str, PyObject* port) {
        const size_t h =
            (reinterpret_cast<uintptr_t>(name_str) * 31 + reinterpret_cast<uintptr_t>(port) * 17) >> 4 & (kSlots - 1);
        Slot& slot = slots_[h];
        if (slot.name.is(name_str) && slot.port.is(port)) return slot.ref;
        PyObject* ref = make(name, port);
        slot.name = Ref::borrow(name_str);
        slot.port = Ref::borrow(port);
        slot.ref = ref;
        return ref;
    }

  private:
    PyObject* make(std::string_view name, PyObject* port);

    // Recent references by (instance name, port name) object pair; the
    // slots hold both, so an address is not reused while they are there.
    static constexpr size_t kSlots = 1024;
    struct Slot {
        Ref name, port;
        PyObject* ref = nullptr;
    };
    TextArena& arena_;
    TextMemo& texts_;
    PyVector<Slot> slots_ = PyVector<Slot>(kSlots);
    std::string buffer_;
};

// One subcircuit's record as its elements are added.
class SubcktRecord {
  public:
    SubcktRecord(State& st, NetTable& nets, size_t elements);

    // instances[name] = {"component": component, "settings": settings}; a
    // later element of the same name replaces the entry in place.
    void instance(PyObject* name, PyObject* component, PyObject* settings);
    // placements[name] = placement, when the placement is not empty.
    void place(PyObject* name, PyObject* placement) {
        if (kv::ok(PyObject_IsTrue(placement))) kv::dict_set(placements_.get(), name, placement);
    }
    // A pin on net `at`: a declared node's port takes the reference at once
    // (`node_object()` gives the node's str); every pin is filed.
    template <class NodeObject>
    void pin(uint32_t at, PyObject* ref, NodeObject&& node_object) {
        if (nets_.declared(at)) kv::dict_set(ports_.get(), node_object(), ref);
        nets_.file(at, ref);
    }
    // The record, with the nets classified and `settings` (patched) its own
    // (`node_object` and `elements` as for NetTable::classify).
    template <class NodeObject, class Elements>
    Ref finish(PyObject* settings, NodeObject&& node_object, Elements&& elements) {
        Ref connections = nets_.classify(st_, ports_.get(), node_object, elements);
        return make_record(st_, instances_.get(), connections.get(), ports_.get(), settings, placements_.get());
    }

  private:
    State& st_;
    NetTable& nets_;
    Ref instances_, ports_, placements_;
};

}  // namespace spicenet
