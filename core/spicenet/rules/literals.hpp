// Literal expressions read natively. For every text it fully recognises, the
// reader gives exactly the value the runtime's ast.literal_eval gives: type,
// value, integer size, float rounding, string escapes and prefixes, nesting.
// Every other text is the runtime's to read, so that its syntax errors,
// warnings and messages stay its own: the reader then answers "not mine" and
// never raises (only a failed allocation propagates, as kv::PyErrorSet).
//
// What the reader takes: numbers (int in every base and size, float, imaginary,
// one unary + or -, a real number plus or minus an imaginary one), str and
// bytes literals (prefixes r, u, b, br, rb in any case, every quote form, the
// escapes but \N{...}, adjacent literals joined), True, False, None, ...,
// tuples, lists, dicts, sets and set(), nested up to a fixed depth, with
// spaces and tabs between tokens, and newlines and comments inside brackets.
#pragma once

#include <string_view>

#include "state.hpp"

namespace spicenet {

// ast.literal_eval(text) for a text (UTF-8) the reader recognises as a whole,
// else an empty Ref. A set stays a set, as literal_eval gives it.
Ref read_literal(std::string_view utf8);
// The same for a str; one without a UTF-8 form (lone surrogates) is declined.
Ref read_literal(PyObject* text);

// Whether the text, after the spaces and tabs literal_eval strips, is a
// single identifier (str.isidentifier) that is no keyword (keyword.iskeyword;
// soft keywords are identifiers): literal_eval reads it as a name and refuses
// it with ValueError. Only a failed allocation raises.
bool is_bare_identifier(std::string_view utf8);
bool is_bare_identifier(PyObject* text);

// register_literals (state.hpp) binds the test hooks `_read_literal(text)`
// (the value, or NotImplemented when the reader declines) and
// `_is_bare_identifier(text)`.

}  // namespace spicenet
