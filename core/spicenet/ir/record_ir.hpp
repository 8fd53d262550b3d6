// The IR as Python records, read through the module globals: each step looks
// its function up when it runs and passes the Python values a Python caller
// would pass, so a replaced function gets exactly those (and may keep or
// change them). The native reader (native_reader.cpp) hands over to this
// road at the point where it finds one of its functions replaced.
#pragma once

#include <vector>

#include "line_rules.hpp"
#include "state.hpp"

namespace spicenet {

class RecordIr {
  public:
    // `component_map` and `kwargs` are dicts that outlive the reading; `ir`
    // and `comments` the maps of what was read so far.
    RecordIr(State& st, PyObject* component_map, PyObject* kwargs, PyObject* ir, PyObject* comments)
        : st_(st), component_map_(component_map), kwargs_(kwargs), ir_(Ref::borrow(ir)),
          comments_(Ref::borrow(comments)) {}

    // The relevant line at `index` (any object).
    void line(Py_ssize_t index, PyObject* line);
    // Warns for the blocks left open; the (IR map, comments map) pair.
    Ref finish();

    // A block still open when the reading was handed over (outermost first):
    // its record, its name as written, the ids of its children, its position.
    void push_open(Ref record, Ref name, std::vector<Ref> children, Py_ssize_t id);
    // The rest of a `.subckt` line once its settings are read: the parent id
    // through `_get_parent_id`, the Subckt record, the block opened.
    void open_block(Py_ssize_t index, PyObject* name, PyObject* component, PyObject* ports, PyObject* settings);
    // The rest of an element line once its settings are read: its Conn
    // record, filed under its block and in the IR map.
    void add_element(Py_ssize_t index, PyObject* name, PyObject* component, PyObject* ports, PyObject* settings,
                     PyObject* parent_id);

    // --- the steps of line_rules, on the current line ----------------------------
    bool is_command(const char* text) const;
    Py_ssize_t word_count() const { return count_; }
    void open_block();
    bool any_open() const { return PyList_GET_SIZE(parents_.get()) > 0; }
    void close_block();
    Ref command_word() const { return first_; }
    bool name_starts_with(char c) const;
    Ref fixed(line_rules::Fixed which) const {
        return which == line_rules::Fixed::resistor ? st_.names.resistor : st_.names.capacitor;
    }
    Ref last_node();

    // The position and the name as written of the innermost open block (0
    // and NULL when none), for the note of an error.
    Py_ssize_t open_id() const { return blocks_.empty() ? 0 : blocks_.back().id; }
    PyObject* open_name() const { return blocks_.empty() ? nullptr : blocks_.back().name.get(); }

  private:
    // An open block: its name as written and, as each block collects its own
    // element lines, the ids of its children; its position.
    struct OpenBlock {
        Ref name;
        std::vector<Ref> children;
        Py_ssize_t id = 0;
    };

    void at(Py_ssize_t index);
    PyObject* id();
    void element();

    State& st_;
    PyObject* component_map_;  // borrowed dict
    PyObject* kwargs_;         // borrowed dict
    Ref ir_, comments_;
    Ref parents_ = kv::new_list();   // the open Subckt records, innermost last
    std::vector<OpenBlock> blocks_;  // alongside parents_
    // The current line: its position (and its int, once made), its words (a
    // list of our own), their count, the first word and the node words.
    Py_ssize_t index_ = 0;
    Ref id_, words_;
    Py_ssize_t count_ = 0;
    Ref first_, ports_;
};

}  // namespace spicenet
