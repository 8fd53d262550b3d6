// The rules of a relevant line that both roads of the IR follow: the native
// reader on views into the netlist text (native_reader.cpp) and the road
// through the module globals on Python objects (record_ir.cpp). A road gives
// the steps in its own terms; the rule, the order of its steps and its
// errors are written here once.
#pragma once

#include "diagnostics.hpp"
#include "state.hpp"

namespace spicenet::line_rules {

// A line whose first word begins with "." is a command, compared exactly:
// `.subckt` opens a block (its name is the next word; without one the line
// fails as taking it from an empty list does), `.ends` closes the innermost
// open block, `.global` is ignored with its words, and any other command is
// a ParseError naming it as written.
//
// The road gives, for the words of its current line: is_command(text),
// word_count(), open_block(), any_open(), close_block() and command_word()
// (a str).
template <class Road>
void command(State& st, Road& road) {
    if (road.is_command(".subckt")) {
        if (road.word_count() < 2) kv::raise(PyExc_IndexError, "list index out of range");
        road.open_block();
    } else if (road.is_command(".ends")) {
        if (!road.any_open()) raise_ends_before_begin(st);
        road.close_block();
    } else if (!road.is_command(".global")) {
        raise_unsupported_command(st, road.command_word().get());
    }
}

enum class Fixed { resistor, capacitor };

// The component of an element line: "resistor" when its name begins with
// "R", "capacitor" when it begins with "C" (upper case only; every node word
// is then a port), else the last node word, which is then no port.
//
// The road gives name_starts_with(char), fixed(Fixed) and last_node(), which
// takes the last node word off the ports and fails as indexing an empty
// tuple does when there is none.
template <class Road>
[[gnu::always_inline]] inline auto component(Road& road) {
    if (road.name_starts_with('R')) return road.fixed(Fixed::resistor);
    if (road.name_starts_with('C')) return road.fixed(Fixed::capacitor);
    return road.last_node();
}

// Blocks never closed keep their elements in the IR but give no record: one
// ParseWarning each, outermost first. `name_of(block)` is its name as
// written (a str); `block.id` its position, for the note of a warning made
// an error.
template <class Blocks, class NameOf>
void warn_unclosed(State& st, const Blocks& open, NameOf&& name_of) {
    for (const auto& block : open) try {
        warn_unclosed_block(st, name_of(block).get());
    } catch (const kv::PyErrorSet&) {
        st.where.at(0, block.id);
        throw;
    }
}

}  // namespace spicenet::line_rules
