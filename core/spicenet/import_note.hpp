// The note (PEP 678) that an error gets when it ends an import, saying where
// in the netlist it happened:
//
//   while importing 'chip.sp', line 812 (statement 'X7 a b c=1=2 mmi'), in .subckt 'top' from line 790
//
// The source is the path as given, else the stream's `name` when it is a
// text, else <stream>. Positions become physical lines (as str.splitlines
// counts them) by reading the content once more, when the import counted
// them over that content itself; otherwise the note gives the positions
// among the relevant lines ("relevant line 12") and the texts the import
// still held. For a net of three or more pins it names the elements on it.
#pragma once

#include "state.hpp"

namespace spicenet {

// Adds the note to the error being raised, which stays the same object with
// the same type, message and arguments. `content` (a str, its UTF-8 bytes,
// or NULL) is the text whose relevant lines the recorded positions count. When the note
// cannot be made or added, the error goes on without it.
void note_import_error(State& st, PyObject* path_or_buf, PyObject* content) noexcept;

}  // namespace spicenet
