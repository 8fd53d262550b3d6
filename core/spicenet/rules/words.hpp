// Words of `.subckt` and element lines. A word holding "=" is a setting,
// every other word is positional. Controlled sources (vcvs, vccs, ccvs, cccs)
// are rewritten into the common layout: nodes, component, settings.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "arena.hpp"
#include "state.hpp"
#include "text_unicode.hpp"
#include "values.hpp"

namespace spicenet {

using WordSpan = std::span<const std::string_view>;

// Words after rewriting, with the texts the rewriting made kept alive: in
// `arena` when one is given (they then live as long as it), else in `made`.
struct Rewritten {
    std::vector<std::string_view> words;
    std::vector<Py_ssize_t> origin;  // per word: its position in the input, or -1 when made
    std::deque<std::string> made;
    TextArena* arena = nullptr;

    // Room the rewriting reuses from call to call.
    std::vector<Py_ssize_t> front;
    std::vector<std::pair<std::string_view, Py_ssize_t>> controls;

    void clear() {
        words.clear();
        origin.clear();
        made.clear();
    }
    // `head` followed by `tail`, kept alive here.
    std::string_view make(std::string_view head, std::string_view tail);
};

// Whether `_handle_sources` would rewrite these words (one is a source keyword).
bool has_source_keyword(WordSpan words);

// The source keywords, in the order `_handle_sources` searches them.
inline constexpr std::string_view kSourceKeywords[] = {"vcvs", "vccs", "ccvs", "cccs"};

// Which source keyword (its place in the search order) the four bytes at
// `word` spell in any letter case, or -1. Setting bit 5 folds only letters
// onto the keywords' lower-case letters, so any four bytes may be given.
inline int source_keyword_at(const char* word) {
    auto load = [](std::string_view s) {
        uint32_t x;
        std::memcpy(&x, s.data(), 4);
        return x;
    };
    const uint32_t folded = load({word, 4}) | 0x20202020u;
    if (folded == load(kSourceKeywords[0])) return 0;
    if (folded == load(kSourceKeywords[1])) return 1;
    if (folded == load(kSourceKeywords[2])) return 2;
    if (folded == load(kSourceKeywords[3])) return 3;
    return -1;
}
// Whether four bytes spell a source keyword in any letter case.
inline bool source_keyword4(const char* word) { return source_keyword_at(word) >= 0; }
// `_handle_sources` on word texts; `out` receives the result.
void handle_sources(WordSpan words, Rewritten& out);
// `_handle_sources` on any sequence of words: a new list.
Ref handle_sources(PyObject* words);

// Position of the first "=" in `word` (npos when none); words are short, so
// a plain loop beats a library search.
inline size_t find_equals(std::string_view word, size_t from = 0) {
    for (size_t i = from; i < word.size(); ++i)
        if (word[i] == '=') return i;
    return std::string_view::npos;
}
inline bool is_setting(std::string_view word) { return find_equals(word) != std::string_view::npos; }

// `_get_ir_ports`: the positional words as a tuple.
Ref get_ir_ports(WordSpan words);
Ref get_ir_ports(PyObject* words);  // a list

// `_get_ir_settings`: a new dict of the setting words, values parsed through
// the module global `_parse_value` with `named`.
Ref get_ir_settings(State& st, WordSpan words, const Named& named);
Ref get_ir_settings(State& st, PyObject* words, const Named& named);  // a list

// `_get_parent_id`: the id of the last record of `parents` (a list), 0 when
// empty.
Ref get_parent_id(PyObject* parents);

}  // namespace spicenet
