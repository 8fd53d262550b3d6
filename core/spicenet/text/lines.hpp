// Line preparation of SPICE text. The content is split at line boundaries,
// each physical line trimmed, "+" continuation lines folded into the
// statement before them, white-space runs reduced to one space and empty
// statements dropped: the relevant lines. Each relevant line splits into code
// and comment ("$" first, else "*"), and the code into words at spaces
// outside quotes.
//
// This header gathers the stage's parts, one concern per header:
//   statement.hpp     code, comment and words of one line (split_comments,
//                     next_word, Statement, split_statement)
//   line_reader.hpp   the relevant lines of a content (LineReader)
//   line_streams.hpp  the lazy streams of the module functions, the late-bound
//                     road of `_iter_relevant_lines`, and StreamLease
//   chain.hpp         `_chain`
// (byte_blocks.hpp and quote_modes.hpp hold what the readers share.)
#pragma once

#include "arena.hpp"
#include "chain.hpp"
#include "line_reader.hpp"
#include "line_streams.hpp"
#include "state.hpp"
#include "statement.hpp"
#include "text_unicode.hpp"
