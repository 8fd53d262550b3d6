// Netlist records straight from a NativeIr (see native_ir.hpp): the steps of
// `_recursive_netlist_from_ir` and `_netlist_from_subckt` (assembly.cpp), on
// views, with one str per distinct text of the import. Each call the
// assembly makes per element still looks its function up in the module
// globals: the module's own runs in C++, a replaced one gets the Python
// values it would get from the IR map.
#include <cstdint>
#include <string>
#include <unordered_map>

#include "assembly.hpp"
#include "diagnostics.hpp"
#include "ir.hpp"
#include "lines.hpp"
#include "native_ir.hpp"
#include "net_maps.hpp"
#include "ports.hpp"
#include "settings.hpp"
#include "text_unicode.hpp"

namespace spicenet {

namespace {


// A dict with room for `entries` keys, so that filling it never resizes it.
Ref presized_dict(size_t entries) { return kv::own(_PyDict_NewPresized(static_cast<Py_ssize_t>(entries))); }

// One node of a subcircuit and the pins filed under it.
struct Net {
    std::string_view node;
    bool declared = false;
    uint32_t count = 0;
    PyObject* first = nullptr;   // the first two references (borrowed from the import's memo)
    PyObject* second = nullptr;
};

class Assembler {
  public:
    Assembler(State& st, NativeIr& ir, PyObject* keymap) : st_(st), ir_(ir), keymap_(keymap) {}

    Ref run() {
        auto& b = st_.names;
        // Records by component name; a later subcircuit of the same name
        // replaces an earlier one in place, and so do its declared ports.
        Ref nets = kv::new_dict();
        Ref declared = kv::new_dict();
        look_up_ports_ahead();
        size_t started = 0;
        for (size_t i = 0; i < ir_.blocks.size(); ++i) {
            const NativeBlock& block = ir_.blocks[i];
            if (block.children.empty()) continue;
            // A block reached by the look-ups ahead found the module's own
            // function there, as it is looked up before the block's elements.
            Ref fn = started++ < ahead_blocks_ ? Ref::borrow(st_.functions.bound(fn_netlist_from_subckt))
                                               : st_.current(fn_netlist_from_subckt);
            Ref record;
            if (st_.functions.is_own(fn_netlist_from_subckt, fn.get())) {
                record = subckt(block);
            } else {
                materialize_once();
                record = kv::call(fn.get(), {py_ir_.get(), records_[i].get(), keymap_, py_comments_.get()});
            }
            // Once materialised, the records are what a replaced function saw.
            Ref component = py_ir_ ? kv::attr(records_[i].get(), b.component.get()) : Ref::borrow(block.component);
            component = net::intern(memo_.get(), std::move(component));
            kv::dict_set(nets.get(), component.get(), record.get());
            Ref ports = py_ir_ ? kv::attr(records_[i].get(), b.ports.get())
                               : words_tuple(block.ports_begin, block.ports_count);
            kv::dict_set(declared.get(), component.get(), ports.get());
        }
        // The records are built: what remains of the text and the IR is not
        // needed while the set is normalised.
        PyVector<Ref>().swap(ahead_);
        PyVector<Ref>().swap(ahead_placements_);
        PyVector<uint32_t>().swap(ahead_nets_);
        PyVector<uint32_t>().swap(ahead_pins_);
        nets_ = PyVector<Net>();
        net_index_ = ViewMap<uint32_t>();
        pins_ = PyVector<std::pair<uint32_t, PyObject*>>();
        keys_ = ViewMap<PyObject*>();
        pairs_ = PyVector<PairSlot>();
        py_ir_.reset();
        py_comments_.reset();
        records_ = PyVector<Ref>();
        ir_.release();
        return finish_netlist(st_, nets.get(), declared.get());
    }

  private:
    void materialize_once() {
        if (py_ir_) return;
        Ref pair = materialize(st_, ir_, &records_);
        py_ir_ = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0));
        py_comments_ = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1));
    }

    Ref words_tuple(uint32_t begin, uint32_t count) {
        Ref tuple = kv::own(PyTuple_New(count));
        for (uint32_t i = 0; i < count; ++i)
            PyTuple_SET_ITEM(tuple.get(), i, Ref::borrow(ir_.texts.get(ir_.word(begin + i))).release());
        return tuple;
    }

    // --- one subcircuit ---------------------------------------------------------

    Ref subckt(const NativeBlock& block) {
        auto& b = st_.names;
        Ref ports = kv::new_dict();
        Ref instances = presized_dict(block.children.size());
        Ref placements = kv::new_dict();
        nets_.clear();
        net_index_.clear();
        pins_.clear();
        // The net table made ahead, when there is one.
        const size_t ordinal = block_ordinal_++;
        const bool nets_ahead = ordinal + 1 < ahead_net_begin_.size();
        if (nets_ahead) {
            for (uint32_t k = ahead_net_begin_[ordinal]; k < ahead_net_begin_[ordinal + 1]; ++k) {
                Net net;
                net.node = ir_.word(ahead_nets_[k] & ~kDeclared);
                net.declared = (ahead_nets_[k] & kDeclared) != 0;
                nets_.push_back(net);
            }
        }

        for (uint32_t child : block.children) {
            const NativeElement& e = ir_.elements[child];
            const size_t seq = seq_++;
            Ref item_ports = seq < ahead_.size() ? std::move(ahead_[seq]) : get_ports(e.component);
            forced_now_ = seq < forced_;

            PyObject* name = ir_.texts.get(e.name);
            Ref patched = element_settings(e);
            Ref instance = kv::new_dict();
            kv::dict_set(instance.get(), b.component.get(), e.component);
            kv::dict_set(instance.get(), b.settings.get(), patched.get());
            kv::dict_set(instances.get(), name, instance.get());

            if (!e.comment.empty()) {
                Ref placement = seq < ahead_placements_.size() ? std::move(ahead_placements_[seq]) : location(e.comment);
                if (placement && kv::ok(PyObject_IsTrue(placement.get())))
                    kv::dict_set(placements.get(), name, placement.get());
            }

            for (uint32_t i = 0; i < e.nodes_count; ++i) {
                const std::string_view node = ir_.word(e.nodes_begin + i);
                PyObject* ref = reference(e.name, name, item_ports.get(), i);
                const uint32_t at = nets_ahead ? ahead_pins_[pin_seq_++] : net_of(block, node);
                Net& net = nets_[at];
                pins_.emplace_back(at, ref);
                if (net.declared) kv::dict_set(ports.get(), ir_.texts.get(node), ref);
                if (net.count == 0) net.first = ref;
                else if (net.count == 1) net.second = ref;
                ++net.count;
            }
        }

        // Only one pin can stay on a declared port; say so when others were dropped.
        for (const Net& net : nets_) {
            if (!net.declared || net.count < 2) continue;
            warn_port_overconnected(st_, ir_.texts.get(net.node), refs_of(net).get());
            forget();
        }

        size_t joined = 0;
        for (const Net& net : nets_) joined += !net.declared && net.count == 2;
        Ref connections = presized_dict(joined);
        for (const Net& net : nets_) {
            if (net.declared) continue;
            if (net.count == 1) {
                kv::dict_set(ports.get(), ir_.texts.get(net.node), net.first);
            } else if (net.count == 2) {
                kv::dict_set(connections.get(), net.first, net.second);
            } else {
                raise_net_overconnected(st_, ir_.texts.get(net.node), refs_of(net).get());
            }
        }

        // After the block's last element, as the look-ups ahead left things.
        forced_now_ = seq_ <= forced_;
        Ref patched = patch_settings_late(block.settings.get());
        forced_now_ = false;

        return make_record(st_, instances.get(), connections.get(), ports.get(), patched.get(), placements.get());
    }

    // The node's entry in the net table of the subcircuit, made on first sight.
    // Nodes of the declared ports and the other nodes keep their first-seen
    // order among themselves.
    uint32_t net_of(const NativeBlock& block, std::string_view node) {
        bool fresh;
        uint32_t& index = net_index_.insert(node, fresh);
        if (!fresh) return index;
        index = static_cast<uint32_t>(nets_.size());
        Net net;
        net.node = node;
        for (uint32_t k = 0; k < block.ports_count && !net.declared; ++k)
            net.declared = ir_.word(block.ports_begin + k) == node;
        nets_.push_back(net);
        return index;
    }

    // Every reference filed under `net`, as a list.
    Ref refs_of(const Net& net) {
        Ref list = kv::new_list();
        const auto at = static_cast<uint32_t>(&net - nets_.data());
        for (const auto& [index, ref] : pins_)
            if (index == at) kv::list_append(list.get(), ref);
        return list;
    }

    // --- calls per element, each through its module global -----------------------

    // Whether the global `fn` is the module's own function. What was learnt
    // holds until code that may change the globals has run.
    bool own(Fn fn) {
        if (forced_now_) return true;
        refresh();
        return own_[fn];
    }
    void refresh() {
        if (!known_ || seen_ != st_.calls_out.now()) {
            all_own_ = true;
            for (Fn f : kChecked) all_own_ &= own_[f] = st_.own(f);
            seen_ = st_.calls_out.now();
            known_ = true;
        }
    }
    // After a call of a replaced function or a warning.
    void forget() { known_ = false; }

    static constexpr Fn kChecked[] = {fn_get_port,     fn_patch_settings,         fn_map_settings_keys,
                                      fn_convert_um,   fn_is_probably_um,         fn_parse_location_comment,
                                      fn_parse_value,  fn_netlist_from_subckt};
    bool all_own() {
        refresh();
        return all_own_;
    }

    // --- port look-ups ahead of the records -------------------------------------
    //
    // Calls `_get_ports` for the elements, in the order assembly calls it,
    // before any record is built, for as long as nothing else assembly does
    // in between can be seen: the module's own functions in place and staying
    // so, location comments read without an expression or an error, port
    // tuples where pins need them, and no subcircuit whose nets warn or fail.
    // The PDK code a look-up may run (and the runtime's collector, which runs
    // with Python code) then meets a small heap instead of the records built
    // so far.
    void look_up_ports_ahead() {
        if (!all_own()) return;
        for (const NativeBlock& block : ir_.blocks) {
            if (block.children.empty()) continue;
            ++ahead_blocks_;
            for (uint32_t child : block.children) {
                const NativeElement& e = ir_.elements[child];
                ahead_.push_back(get_ports(e.component));
                if (!all_own()) return;
                ++forced_;
                if (e.nodes_count > 0 && !PyTuple_CheckExact(ahead_.back().get())) return;
                if (!placement_ahead(e.comment)) {
                    noisy_seq_ = forced_ - 1;
                    return;
                }
            }
            if (!nets_ahead(block)) return;
        }
    }

    // Makes the block's net table (kept for its record) and tells whether it
    // gives no warning and no error: at most one pin on a declared port, at
    // most two on any other node.
    bool nets_ahead(const NativeBlock& block) {
        nets_.clear();
        net_index_.clear();
        if (ahead_net_begin_.empty()) ahead_net_begin_.push_back(0);
        for (uint32_t child : block.children) {
            const NativeElement& e = ir_.elements[child];
            for (uint32_t i = 0; i < e.nodes_count; ++i) {
                const size_t known = nets_.size();
                const uint32_t at = net_of(block, ir_.word(e.nodes_begin + i));
                if (nets_.size() > known) {
                    if (e.nodes_begin + i >= kDeclared) return false;  // beyond what a table entry holds
                    ahead_nets_.push_back((e.nodes_begin + i) | (nets_[at].declared ? kDeclared : 0));
                }
                ++nets_[at].count;
                ahead_pins_.push_back(at);
            }
        }
        ahead_net_begin_.push_back(static_cast<uint32_t>(ahead_nets_.size()));
        for (const Net& net : nets_)
            if (net.count > (net.declared ? 1u : 2u)) return false;
        return true;
    }

    // The placement of an element looked up ahead, made now when its comment
    // reads without any effect (with the module's own `_parse_value`, as it is
    // now); false when it does not.
    bool placement_ahead(std::string_view comment) {
        LocationParts parts;
        if (!comment.empty()) {
            if (!split_location(comment, location_buffer_, parts, false) || !location_parts_quiet(parts))
                return false;
        }
        Ref placement;
        if (parts.present) {
            // A port part inside the comment is a text of the import: one str for all.
            const std::string_view port = parts.port;
            const bool in_comment = !port.empty() && port.data() >= comment.data() &&
                                    port.data() + port.size() <= comment.data() + comment.size();
            placement = placement_of(st_, parts, true, in_comment ? ir_.texts.get(port) : nullptr);
        }
        ahead_placements_.push_back(std::move(placement));
        return true;
    }

    Ref get_ports(PyObject* component) {
        // Always through the attribute: it is the cache.
        PyObject* found = PyDict_GetItemWithError(globals_, st_.functions.name(fn_get_ports));  // borrowed
        if (!found) {
            if (PyErr_Occurred()) kv::raise_set();
            (void)st_.current(fn_get_ports);  // the NameError
        }
        Ref fn = Ref::borrow(found);
        Ref ports;
        if (PyVectorcall_Function(fn.get())) {
            PyObject* args[] = {component};
            ports = kv::own(PyObject_Vectorcall(fn.get(), args, 1, nullptr));
        } else {
            // A callable without the vector protocol (the cache is one) takes
            // its arguments as a tuple: one per component, made once.
            ports = kv::own(PyObject_Call(fn.get(), args_of(component), nullptr));
        }
        if (!st_.functions.is_own(fn_get_ports, fn.get())) forget();
        return ports;
    }

    PyObject* args_of(PyObject* component) {
        Ref& args = component_args_[component];
        if (!args) args = kv::tuple_of({component});
        return args.get();
    }

    Ref location(std::string_view comment) {
        // A quiet comment of an element looked up ahead reads with the module's
        // own `_parse_value`, as it was then.
        if (own(fn_parse_location_comment))
            return parse_location_comment(st_, comment, forced_now_ && seq_ - 1 != noisy_seq_);
        Ref fn = st_.current(fn_parse_location_comment);
        Ref text = kv::text(comment);
        forget();
        return kv::call(fn.get(), {text.get()});
    }

    // "<instance>,<port>" of pin `i`, one str per distinct text of the import.
    // Instance names and port names are shared objects, so a reference is
    // first looked for by the pair of them.
    PyObject* reference(std::string_view name, PyObject* name_str, PyObject* item_ports, uint32_t i) {
        Ref port = get_port(item_ports, i);
        const size_t h = (reinterpret_cast<uintptr_t>(name_str) * 31 + reinterpret_cast<uintptr_t>(port.get()) * 17) >>
                         4 & (kPairSlots - 1);
        PairSlot& slot = pairs_[h];
        if (slot.name == name_str && slot.port == port.get()) return slot.ref;
        PyObject* ref = reference_text(name, port.get());
        // The port object is held by the slot, so its address is not reused.
        slot.name = name_str;
        slot.port_holder = port;
        slot.port = port.get();
        slot.ref = ref;
        return ref;
    }

    PyObject* reference_text(std::string_view name, PyObject* port) {
        Ref port_text = PyUnicode_Check(port) ? Ref::borrow(port) : kv::to_text(port);
        text::Utf8 u(port_text.get());
        buffer_.assign(name);
        buffer_.push_back(',');
        buffer_.append(u.view);
        if (PyObject* ref = ir_.texts.find(buffer_)) return ref;
        return ir_.texts.get(ir_.arena.store(buffer_));
    }

    Ref get_port(PyObject* ports, uint32_t i) {
        if (own(fn_get_port)) {
            kv::check_type("ports", ports, kv::Type::Tuple, false);
            if (i < PyTuple_GET_SIZE(ports)) return Ref::borrow(PyTuple_GET_ITEM(ports, i));
            // Generic names repeat from element to element: make each once.
            if (i >= generic_.size()) generic_.resize(i + 1);
            if (!generic_[i]) generic_[i] = spicenet::get_port(ports, i);
            return generic_[i];
        }
        Ref fn = st_.current(fn_get_port);
        Ref position = kv::own(PyLong_FromSsize_t(i));
        forget();
        return kv::call(fn.get(), {ports, position.get()});
    }

    // --- settings ------------------------------------------------------------------

    // `_patch_settings` through the module global, on a dict.
    Ref patch_settings_late(PyObject* settings) {
        Ref fn = st_.current(fn_patch_settings);
        if (st_.functions.is_own(fn_patch_settings, fn.get()))
            return spicenet::patch_settings(st_, settings, keymap_, memo_.get());
        forget();
        return kv::call(fn.get(), {settings, keymap_});
    }

    Ref element_settings(const NativeElement& e) {
        if (!(own(fn_patch_settings) && own(fn_map_settings_keys) && own(fn_convert_um) && own(fn_is_probably_um))) {
            forget();
            Ref settings = kv::new_dict();
            for (uint32_t i = 0; i < e.settings_count; ++i) {
                const NativeSetting& s = ir_.settings[e.settings_begin + i];
                Ref value = s.to_object();
                kv::dict_set(settings.get(), ir_.texts.get(s.key()), value.get());
            }
            return patch_settings_late(settings.get());
        }
        // Names sorted by character code (UTF-8 byte order is code point
        // order); of a repeated name the last value counts.
        Ref out = kv::new_dict();
        if (e.settings_count == 0) return out;
        order_.clear();
        for (uint32_t i = 0; i < e.settings_count; ++i) order_.push_back(e.settings_begin + i);
        // Few names per element: an insertion sort (stable) needs no buffer.
        for (size_t k = 1; k < order_.size(); ++k) {
            const uint32_t at = order_[k];
            size_t j = k;
            for (; j > 0 && ir_.settings[at].key() < ir_.settings[order_[j - 1]].key(); --j) order_[j] = order_[j - 1];
            order_[j] = at;
        }
        for (size_t k = 0; k < order_.size(); ++k) {
            const NativeSetting& s = ir_.settings[order_[k]];
            if (k + 1 < order_.size() && ir_.settings[order_[k + 1]].key() == s.key()) continue;
            Ref value = patched_value(s);
            kv::dict_set(out.get(), setting_key(s.key()), value.get());
        }
        return out;
    }

    // The name a setting carries in the record: through the key map.
    PyObject* setting_key(std::string_view key) {
        if (PyObject** found = keys_.find(key)) return *found;
        PyObject* name = ir_.texts.get(key);
        Ref to = kv::dict_get(keymap_, name);
        Ref final_key = net::intern(memo_.get(), to ? std::move(to) : Ref::borrow(name));
        PyObject* borrowed = final_key.get();
        ir_.held.push_back(std::move(final_key));
        bool inserted;
        keys_.insert(key, inserted) = borrowed;
        return borrowed;
    }

    // A value with lengths in metres rescaled to micrometres.
    Ref patched_value(const NativeSetting& v) {
        switch (v.kind) {
            case Value::Kind::None: return kv::none();
            case Value::Kind::Number: {
                const double d = v.number;
                return kv::own(PyFloat_FromDouble(is_probably_um(d) ? d * 1e6 : d));
            }
            case Value::Kind::Text: return Ref::borrow(ir_.texts.get(v.text()));
            case Value::Kind::Object: {
                PyObject* o = v.object;
                if (!PyFloat_Check(o) || !is_probably_um(PyFloat_AS_DOUBLE(o))) return Ref::borrow(o);
                if (PyFloat_CheckExact(o)) return kv::own(PyFloat_FromDouble(PyFloat_AS_DOUBLE(o) * 1e6));
                Ref factor = kv::own(PyFloat_FromDouble(1e6));
                return kv::own(PyNumber_Multiply(o, factor.get()));
            }
        }
        return kv::none();
    }

    State& st_;
    NativeIr& ir_;
    PyObject* keymap_;
    PyObject* globals_ = PyModule_GetDict(st_.module);  // borrowed
    Ref memo_ = kv::new_dict();
    Ref py_ir_, py_comments_;
    PyVector<Ref> records_;
    std::vector<Ref> generic_;
    // Argument tuples by component; the components are held by the IR.
    std::unordered_map<PyObject*, Ref> component_args_;
    PyVector<Net> nets_;
    ViewMap<uint32_t> net_index_;
    PyVector<std::pair<uint32_t, PyObject*>> pins_;
    ViewMap<PyObject*> keys_;
    // Recent references by (instance name, port name) object pair; the names
    // are held by the memo or by the slot.
    static constexpr size_t kPairSlots = 1024;
    struct PairSlot {
        PyObject* name = nullptr;
        PyObject* port = nullptr;
        Ref port_holder;
        PyObject* ref = nullptr;
    };
    PyVector<PairSlot> pairs_ = PyVector<PairSlot>(kPairSlots);
    bool known_ = false;
    // Look-ups made ahead: the port tuples in element order, how many of
    // those elements found every function the module's own after their
    // look-up, and how many blocks were reached.
    PyVector<Ref> ahead_;
    PyVector<Ref> ahead_placements_;  // per element looked up ahead: its placement, if it has a comment
    std::string location_buffer_;
    size_t forced_ = 0, ahead_blocks_ = 0, seq_ = 0;
    size_t noisy_seq_ = SIZE_MAX;  // the element whose comment ended the look-ups ahead
    bool forced_now_ = false;
    // Net tables made ahead: per block the range of its nets, per net the
    // word of its node (and whether it is declared), per pin its net.
    static constexpr uint32_t kDeclared = 1u << 31;
    PyVector<uint32_t> ahead_net_begin_;
    PyVector<uint32_t> ahead_nets_, ahead_pins_;
    size_t block_ordinal_ = 0, pin_seq_ = 0;
    uint64_t seen_ = 0;
    bool own_[fn_count] = {};
    bool all_own_ = false;
    PyVector<uint32_t> order_;
    std::string buffer_;
};

}  // namespace

Ref assemble_native(State& st, NativeIr& ir, PyObject* keymap) { return Assembler(st, ir, keymap).run(); }

}  // namespace spicenet
