// A relevant line taken apart: its code and its comment ("$" first, else
// "*"), and the words of the code, split at spaces outside quotes
// (quote_modes.hpp). The readers work on UTF-8 views and make no Python
// object, except `split_comments` of a str.
#pragma once

#include <cstdint>
#include <string_view>

#include "arena.hpp"
#include "ref.hpp"

namespace spicenet {

using kv::Ref;

struct CodeComment {
    std::string_view code;
    std::string_view comment;  // with its marker "$" or "*"; empty when none
};
CodeComment split_comments(std::string_view line);
// `_split_comments` on a str: the tuple (code, comment).
Ref split_comments(PyObject* line);

// The next word of `code` from `pos` (quotes keep spaces inside a word);
// false after the last word. Empty words are words too.
bool next_word(std::string_view code, size_t& pos, std::string_view& word);

// A relevant line taken apart: its comment as `split_comments` gives it, the
// non-empty words of its code, the place of the first "=" in each word and
// whether the words after the first hold a keyword of `_handle_sources`: in
// one pass over its bytes where they are all printable ASCII, else in two.
struct Statement {
    // `equals` of a word without "=", and the flag of a word with more than one.
    static constexpr size_t kNoEquals = SIZE_MAX >> 1;
    static constexpr size_t kTwice = ~kNoEquals;

    std::string_view comment;           // with its marker; empty when none
    PodBuffer<std::string_view> words;  // the non-empty words of the code
    PodBuffer<size_t> equals;           // per word: where its first "=" stands, maybe | kTwice
    bool source = false;                // a word after the first is a source keyword
};
void split_statement(std::string_view line, Statement& out);

}  // namespace spicenet
