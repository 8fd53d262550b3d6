// Netlist records straight from a NativeIr (see native_ir.hpp): the whole-set
// assembly and the records of assembly.hpp / records.hpp, on views, with one
// str per distinct text of the import. Each call assembly makes still goes
// through its module global (late_calls.hpp): the module's own runs in C++,
// a replaced one gets the Python values it would get from the IR map, and a
// replaced `_netlist_from_subckt` gets the IR map itself, made once.
#include <algorithm>
#include <cstdint>
#include <string>

#include "assembly.hpp"
#include "late_calls.hpp"
#include "native_ir.hpp"
#include "records.hpp"
#include "values.hpp"

namespace spicenet {

namespace {

// What assembly knows of the globals: kept while `calls_out` stays, and the
// module's own for an element whose port look-up was made ahead while every
// global was the module's own (so it was, at that element, in file order).
struct AheadOwned {
    explicit AheadOwned(State& st) : kept(st.functions, st.module, st.calls_out, kLateFns) {}
    bool own(LateFn f) { return forced || kept.own(f); }
    OwnedAssembly kept;
    bool forced = false;
};

// The nets of a block by node word, made on first sight; the block's
// declared nodes are entered first, so each new node is tested once.
class WordNets {
  public:
    WordNets(NativeIr& ir, NetTable& nets) : ir_(ir), nets_(nets) {}

    void start(const NativeBlock& block) {
        index_.clear();
        bool fresh;
        for (uint32_t k = 0; k < block.ports_count; ++k) index_.insert(ir_.word(block.ports_begin + k), fresh) = kUnseen;
    }
    uint32_t of(uint32_t word) {
        bool fresh;
        uint32_t& at = index_.insert(ir_.word(word), fresh);
        if (!fresh && at != kUnseen) return at;
        at = nets_.add(word, !fresh);
        return at;
    }

    void release() { ViewMap<uint32_t>().swap(index_); }

  private:
    static constexpr uint32_t kUnseen = UINT32_MAX;  // a declared node no pin touched yet
    NativeIr& ir_;
    NetTable& nets_;
    ViewMap<uint32_t> index_;
};

class Assembler {
  public:
    Assembler(State& st, NativeIr& ir, PyObject* keymap)
        : st_(st), ir_(ir), owned_(st), calls_(st, owned_, keymap, memo_.get()), words_(ir, nets_),
          refs_(ir.arena, ir.texts) {}

    Ref run() {
        look_up_ports_ahead();
        return assemble_set(st_, *this, memo_.get());
    }

    // --- the blocks, for assemble_set ------------------------------------------

    size_t count() const { return ir_.blocks.size(); }
    bool has_children(size_t i) const { return !ir_.blocks[i].children.empty(); }
    Ref replaced_subckt_fn(size_t) {
        // A block reached by the look-ups ahead found the module's own function
        // there, as it is looked up before the block's elements.
        if (started_++ < ahead_blocks_) return Ref();
        return st_.functions.replaced(st_.module, fn_netlist_from_subckt);
    }
    Ref call(PyObject* fn, size_t i) {
        if (!py_ir_) {
            Ref pair = materialize(st_, ir_, &records_);
            py_ir_ = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0));
            py_comments_ = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1));
        }
        Ref record = kv::call(fn, {py_ir_.get(), records_[i].get(), calls_.keymap(), py_comments_.get()});
        st_.calls_out.bump();
        return record;
    }
    Ref build(size_t i, PyObject*) { return subckt(ir_.blocks[i]); }
    // Once materialised, the records are what a replaced function saw.
    Ref component(size_t i) {
        if (py_ir_) return kv::attr(records_[i].get(), st_.names.component.get());
        return Ref::borrow(ir_.blocks[i].component);
    }
    Ref declared(size_t i) {
        if (py_ir_) return kv::attr(records_[i].get(), st_.names.ports.get());
        const NativeBlock& block = ir_.blocks[i];
        return words_tuple(ir_, block.ports_begin, block.ports_count);
    }
    // What remains of the text and the IR is not needed while the set is
    // normalised.
    void locate(size_t i) noexcept { st_.where.at(0, ir_.blocks[i].id); }
    void built() {
        ahead_ = Ahead();
        nets_ = NetTable();
        words_.release();
        keys_ = ViewMap<PyObject*>();
        py_ir_.reset();
        py_comments_.reset();
        records_ = PyVector<Ref>();
        ir_.release();
    }

  private:
    // --- one subcircuit ---------------------------------------------------------

    Ref subckt(const NativeBlock& block) try {
        SubcktRecord record(st_, nets_, block.children.size());
        const size_t ordinal = block_ordinal_++;
        const bool nets_ahead = ordinal + 1 < ahead_.net_begin.size();
        if (nets_ahead) {
            for (uint32_t k = ahead_.net_begin[ordinal]; k < ahead_.net_begin[ordinal + 1]; ++k)
                nets_.add(ahead_.nets[k] & ~kDeclared, (ahead_.nets[k] & kDeclared) != 0);
        } else {
            words_.start(block);
        }
        for (uint32_t child : block.children) {
            const NativeElement& e = ir_.elements[child];
            try {
                element(e, record, nets_ahead);
            } catch (const kv::PyErrorSet&) {
                st_.where.at(e.id, block.id);
                throw;
            }
        }

        // After the block's last element, as the look-ups ahead left things.
        owned_.forced = seq_ <= ahead_.forced;
        Ref patched = calls_.patch_settings(block.settings.get());
        owned_.forced = false;
        // The element of each pin, for the note of a net with too many.
        auto elements = [&](const PyVector<uint32_t>& places, Where::Pins& out) {
            size_t k = 0, end = 0;
            for (uint32_t child : block.children) {
                const NativeElement& e = ir_.elements[child];
                end += e.nodes_count;
                for (; k < places.size() && places[k] < end; ++k) out.add(e.id);
            }
        };
        return record.finish(patched.get(), [&](uint32_t word) { return ir_.texts.get(ir_.word(word)); }, elements);
    } catch (const kv::PyErrorSet&) {
        st_.where.at(0, block.id);
        throw;
    }

    void element(const NativeElement& e, SubcktRecord& record, bool nets_ahead) {
        const size_t seq = seq_++;
        Ref item_ports = seq < ahead_.ports.size() ? std::move(ahead_.ports[seq]) : calls_.get_ports(e.component);
        owned_.forced = seq < ahead_.forced;

        PyObject* name = ir_.texts.get(e.name);
        Ref patched = element_settings(e);
        record.instance(name, e.component, patched.get());
        if (!e.comment.empty()) {
            // A quiet comment of an element looked up ahead reads with the
            // module's own `_parse_value`, as it was then.
            Ref placement = seq < ahead_.placements.size()
                                ? std::move(ahead_.placements[seq])
                                : calls_.parse_location_comment(e.comment, owned_.forced && seq != ahead_.noisy);
            if (placement) record.place(name, placement.get());
        }
        for (uint32_t i = 0; i < e.nodes_count; ++i) {
            const uint32_t word = e.nodes_begin + i;
            Ref port = calls_.get_port(item_ports.get(), i);
            PyObject* ref = refs_.of(e.name, name, port.get());
            const uint32_t at = nets_ahead ? ahead_.pins[pin_seq_++] : words_.of(word);
            record.pin(at, ref, [&] { return ir_.texts.get(ir_.word(word)); });
        }
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
        if (!owned_.kept.all()) return;
        for (const NativeBlock& block : ir_.blocks) {
            if (block.children.empty()) continue;
            ++ahead_blocks_;
            for (uint32_t child : block.children) {
                const NativeElement& e = ir_.elements[child];
                try {
                    ahead_.ports.push_back(calls_.get_ports(e.component));
                } catch (const kv::PyErrorSet&) {
                    st_.where.at(e.id, block.id);
                    throw;
                }
                if (!owned_.kept.all()) return;
                ++ahead_.forced;
                if (e.nodes_count > 0 && !PyTuple_CheckExact(ahead_.ports.back().get())) return;
                if (!placement_ahead(e.comment)) {
                    ahead_.noisy = ahead_.forced - 1;
                    return;
                }
            }
            if (!nets_ahead(block)) return;
        }
    }

    // Makes the block's net table (kept for its record) and tells whether it
    // gives no warning and no error.
    bool nets_ahead(const NativeBlock& block) {
        nets_.clear();
        words_.start(block);
        if (ahead_.net_begin.empty()) ahead_.net_begin.push_back(0);
        for (uint32_t child : block.children) {
            const NativeElement& e = ir_.elements[child];
            for (uint32_t i = 0; i < e.nodes_count; ++i) {
                const uint32_t word = e.nodes_begin + i;
                const size_t known = nets_.size();
                const uint32_t at = words_.of(word);
                if (nets_.size() > known) {
                    if (word >= kDeclared) return false;  // beyond what a table entry holds
                    ahead_.nets.push_back(word | (nets_.declared(at) ? kDeclared : 0));
                }
                nets_.file(at, nullptr);
                ahead_.pins.push_back(at);
            }
        }
        ahead_.net_begin.push_back(static_cast<uint32_t>(ahead_.nets.size()));
        return nets_.quiet();
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
        ahead_.placements.push_back(std::move(placement));
        return true;
    }

    // --- settings ------------------------------------------------------------------

    // `_patch_settings` of the element's settings: when it and every function
    // it calls are the module's own, straight from the read values: names in
    // sorted order (UTF-8 byte order is code point order), of a repeated name
    // the last value, each name through the key map, each value in
    // micrometres where it is a length in metres.
    Ref element_settings(const NativeElement& e) {
        if (!(owned_.own(late_patch_settings) && owned_.own(late_map_settings_keys) &&
              owned_.own(late_convert_um) && owned_.own(late_is_probably_um)))
            return calls_.patch_settings(settings_dict(ir_, e).get());
        Ref out = kv::new_dict();
        if (e.settings_count == 0) return out;
        sort_settings(e);
        for (size_t k = 0; k < order_.size(); ++k) {
            const NativeSetting& s = ir_.settings[order_[k]];
            if (k + 1 < order_.size() && ir_.settings[order_[k + 1]].key() == s.key()) continue;
            Ref value = patched_value(s);
            kv::dict_set(out.get(), setting_key(s.key()), value.get());
        }
        return out;
    }

    // The element's settings in order of their names, stable.
    void sort_settings(const NativeElement& e) {
        order_.clear();
        for (uint32_t i = 0; i < e.settings_count; ++i) order_.push_back(e.settings_begin + i);
        const auto by_key = [&](uint32_t a, uint32_t b) { return ir_.settings[a].key() < ir_.settings[b].key(); };
        if (order_.size() > 16) return std::stable_sort(order_.begin(), order_.end(), by_key);
        // Few names per element: an insertion sort needs no buffer.
        for (size_t k = 1; k < order_.size(); ++k) {
            const uint32_t at = order_[k];
            size_t j = k;
            for (; j > 0 && by_key(at, order_[j - 1]); --j) order_[j] = order_[j - 1];
            order_[j] = at;
        }
    }

    // The name a setting carries in the record, once per name of the import.
    PyObject* setting_key(std::string_view key) {
        if (PyObject** found = keys_.find(key)) return *found;
        Ref final_key = settings_key(calls_.keymap(), ir_.texts.get(key), memo_.get());
        PyObject* borrowed = final_key.get();
        ir_.held.push_back(std::move(final_key));
        bool inserted;
        keys_.insert(key, inserted) = borrowed;
        return borrowed;
    }

    Ref patched_value(const NativeSetting& v) {
        switch (v.kind) {
            case Value::Kind::None: return kv::none();
            case Value::Kind::Number: return kv::own(PyFloat_FromDouble(um_value(v.number)));
            case Value::Kind::Text: return Ref::borrow(ir_.texts.get(v.text()));
            case Value::Kind::Object: return um_value(v.object);
        }
        return kv::none();
    }

    static constexpr uint32_t kDeclared = 1u << 31;

    // What the look-ups ahead made: the port tuples and placements in element
    // order, how many of those elements found every function the module's own
    // after their look-up, the element whose comment ended them, and the net
    // tables (per block the range of its nets, per net the word of its node
    // and whether it is declared, per pin its net).
    struct Ahead {
        PyVector<Ref> ports, placements;
        size_t forced = 0;
        size_t noisy = SIZE_MAX;
        PyVector<uint32_t> net_begin, nets, pins;
    };

    State& st_;
    NativeIr& ir_;
    Ref memo_ = kv::new_dict();
    AheadOwned owned_;
    ElementCalls<AheadOwned> calls_;
    NetTable nets_;
    WordNets words_;
    PinReferences refs_;
    Ahead ahead_;
    size_t ahead_blocks_ = 0, started_ = 0, seq_ = 0, block_ordinal_ = 0, pin_seq_ = 0;
    Ref py_ir_, py_comments_;
    PyVector<Ref> records_;
    ViewMap<PyObject*> keys_;
    PyVector<uint32_t> order_;
    std::string location_buffer_;
};

}  // namespace

Ref assemble_native(State& st, NativeIr& ir, PyObject* keymap) { return Assembler(st, ir, keymap).run(); }

}  // namespace spicenet
