// The errors and warnings the SPICE import reports, each worded in one place.
// `ParseError` and `ParseWarning` are looked up in the module globals when
// used, so a replaced one is what the caller sees: a ParseError is raised as
// `raise ParseError(message)` would raise it.
#pragma once

#include "state.hpp"

namespace spicenet {

[[noreturn]] void raise_parse_error(State& st, PyObject* message);

// ParseErrors of the reading.
[[noreturn]] void raise_ends_before_begin(State& st);
[[noreturn]] void raise_unsupported_command(State& st, PyObject* command);
// The ParseError of a net with three or more pins (`refs`, a list).
[[noreturn]] void raise_net_overconnected(State& st, PyObject* node, PyObject* refs);

// ParseWarnings (stack level 2): a block never closed by `.ends`; a declared
// port with more than one pin (`refs`, a list); an expression that is no
// literal and no named value.
void warn_unclosed_block(State& st, PyObject* name);
void warn_port_overconnected(State& st, PyObject* node, PyObject* refs);
void warn_unparsed(State& st, PyObject* expression);

}  // namespace spicenet
