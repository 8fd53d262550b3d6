// The IR of one import held in C++: element lines and closed subcircuit
// blocks as views into the netlist text, settings as read values, and only
// the Python objects a record keeps (mapped component names, subcircuit
// settings, values of expressions). `parse_oc_spice` builds it when the
// module's own reading functions are in place and assembles the records from
// it directly; `materialize` gives the (IR map, comments map) pair the module
// functions exchange, for a replaced assembly function.
#pragma once

#include <string_view>

#include "arena.hpp"
#include "state.hpp"
#include "values.hpp"

namespace spicenet {

// Texts of one import as str objects, each made once.
class TextMemo {
  public:
    // The str of `s`, which must stay valid as long as the memo (a view into
    // the netlist text or an arena).
    PyObject* get(std::string_view s);  // borrowed from the memo

    // The str of `s` when the memo has one, else nullptr; `s` may be transient.
    PyObject* find(std::string_view s) {
        Ref* found = map_.find(s);
        return found ? found->get() : nullptr;
    }

    // Drops the memo (the str objects live on where they are used).
    void clear() { ViewMap<Ref>().swap(map_); }

  private:
    ViewMap<Ref> map_;
};

// A setting of an element: its name and its value as read, in 32 bytes (the
// object of an expression is held by NativeIr::held).
struct NativeSetting {
    const char* key_data = nullptr;
    uint32_t key_size = 0;
    uint32_t text_size = 0;
    Value::Kind kind = Value::Kind::None;
    union {
        double number;
        const char* text_data;
        PyObject* object;
    };

    NativeSetting(std::string_view key, const Value& value)
        : key_data(key.data()), key_size(size32(key)), kind(value.kind), number(0.0) {
        switch (kind) {
            case Value::Kind::None: break;
            case Value::Kind::Number: number = value.number; break;
            case Value::Kind::Text:
                text_data = value.text.data();
                text_size = size32(value.text);
                break;
            case Value::Kind::Object: object = value.object.get(); break;
        }
    }
    std::string_view key() const { return {key_data, key_size}; }
    std::string_view text() const { return {text_data, text_size}; }
    // The value as read (its object borrowed from the IR).
    Value value() const;
    // The object `_parse_value` returned for this value.
    Ref to_object() const;

  private:
    static uint32_t size32(std::string_view s) {
        if (s.size() > UINT32_MAX) too_long();
        return static_cast<uint32_t>(s.size());
    }
    [[noreturn]] static void too_long();
};

struct NativeElement {
    Py_ssize_t id = 0;
    Py_ssize_t parent_id = 0;
    std::string_view name;
    PyObject* component = nullptr;  // the mapped component, held by the IR
    uint32_t nodes_begin = 0, nodes_count = 0;        // in NativeIr::words
    uint32_t settings_begin = 0, settings_count = 0;  // in NativeIr::settings
    std::string_view comment;                          // empty when none
};

struct NativeBlock {
    Py_ssize_t id = 0;
    Py_ssize_t parent_id = 0;
    std::string_view name;          // as written
    PyObject* component = nullptr;  // mapped, held by the IR
    uint32_t ports_begin = 0, ports_count = 0;  // declared nodes, in NativeIr::words
    Ref settings;                               // dict, as read (not patched)
    uint32_t elements_before = 0;               // elements read when the block closed
    PyVector<uint32_t> children;                // indexes into NativeIr::elements
};

struct NativeIr {
    Chunks<NativeElement> elements;  // in line order
    PyVector<NativeBlock> blocks;    // closed blocks, in the order of their .ends

    Chunks<std::string_view> words;
    Chunks<NativeSetting> settings;
    PyDeque<std::pair<Py_ssize_t, std::string_view>> comments;
    PyDeque<Ref> held;  // objects the records point to
    TextArena arena;
    Ref content;         // the netlist text the views point into
    TextMemo texts;

    std::string_view word(uint32_t i) const { return words[i]; }

    // Frees everything but the objects the records hold; the views end here.
    void release();
};

// Whether every function the reading half calls is the module's own, so a
// whole text can be read into a NativeIr.
bool native_reading(State& st);

// Reads `content` (a str) into `ir`, with the effects `_parse_into_ir` has
// (warnings, errors) in the same order. A reading function replaced during
// the reading takes effect from that point: what was read is handed over as
// Python records and the rest goes through the module globals, and the
// result is then the (IR map, comments map) pair. An empty Ref when
// everything went into `ir`.
Ref read_into(State& st, PyObject* content, PyObject* component_map, PyObject* kwargs, NativeIr& ir);

// `read_into` on relevant lines: a stream of `_iter_relevant_lines`, or any
// iterable of lines.
Ref read_lines_into(State& st, PyObject* lines, PyObject* component_map, PyObject* kwargs, NativeIr& ir);

// Python values of a NativeIr's records: an int, the words [begin, begin +
// count) as a tuple, an element's settings dict, a block's Subckt record (of
// the module's own type, with the int `id`).
Ref int_of(Py_ssize_t i);
Ref words_tuple(NativeIr& ir, uint32_t begin, uint32_t count);
Ref settings_dict(NativeIr& ir, const NativeElement& e);
Ref subckt_record(State& st, NativeIr& ir, const NativeBlock& b, PyObject* id, PyObject* children_ids);

// The (IR map, comments map) pair of a NativeIr, of the module's own record
// types (those the reading found in place); `subckts` receives each closed
// block's Subckt record (in NativeIr::blocks order).
Ref materialize(State& st, NativeIr& ir, PyVector<Ref>* subckts = nullptr);

// The netlist records of a NativeIr, as `_recursive_netlist_from_ir` builds
// them from the materialised IR.
Ref assemble_native(State& st, NativeIr& ir, PyObject* keymap);

}  // namespace spicenet
