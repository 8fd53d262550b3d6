// The intermediate representation of a SPICE netlist: one `Subckt` record
// per closed subcircuit block and one `Conn` record per element line inside a
// block, keyed by the position of their line among the relevant lines (from
// 1), plus the comments of those lines. Also the reading of a netlist from a
// path or an open text stream, and the location comments that place
// instances.
//
// Dialect: `.subckt name nodes... key=value...`, `.ends`, `.global` (ignored);
// any other dot command is a ParseError. Element lines outside blocks are
// ignored.
#pragma once

#include <string>
#include <string_view>

#include "state.hpp"

namespace spicenet {

// The whole content of a path (opened as a text file and always closed) or
// of a stream (read once and left open).
Ref read_content(State& st, PyObject* path_or_buf);

// The part of `_parse_oc_spice_into_ir` after reading: (IR dict, comments
// dict) of a content. `counted`, when given, is set once the road is chosen
// when the IR's positions count the relevant lines of `content` itself (the
// module's own reading of it), so that they can be found in it again.
Ref parse_content_into_ir(State& st, PyObject* content, PyObject* component_map, PyObject* kwargs,
                          bool* counted = nullptr);

// `_parse_into_ir` on an iterable of relevant lines: (IR dict, comments dict).
Ref parse_into_ir(State& st, PyObject* lines, PyObject* component_map, PyObject* kwargs);

// `_parse_location_comment`: the placement dict of a comment (a str); empty
// when the comment gives no placement.
Ref parse_location_comment(State& st, PyObject* comment);
// The same on the UTF-8 text of a comment; `parse_value_known_own` when the
// caller knows `_parse_value` is the module's own for this call.
Ref parse_location_comment(State& st, std::string_view comment, bool parse_value_known_own = false);

// The texts of a location comment: whether it has a location, its port part
// and its three coordinates (views into the comment or into `buffer`). On a
// malformed location, raises the unpacking error when `raise_errors`, else
// returns false.
struct LocationParts {
    bool present = false;
    std::string_view port;
    std::string_view xyz[3];
};
bool split_location(std::string_view comment, std::string& buffer, LocationParts& out, bool raise_errors);

// Whether `_parse_location_comment` (with the module's own `_parse_value`)
// reads split parts without any effect: no expression to evaluate.
bool location_parts_quiet(const LocationParts& parts);

// The placement dict of split parts that are present, as
// `parse_location_comment` makes it; `port_text`, when given, is the str of
// `parts.port` to use.
Ref placement_of(State& st, const LocationParts& parts, bool parse_value_known_own, PyObject* port_text);

}  // namespace spicenet
