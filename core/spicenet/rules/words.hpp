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
// Whether a word of four bytes, none of them white space or beyond ASCII,
// is a source keyword: its letters are compared in any case.
inline bool source_keyword4(const char* word) {
    auto load = [](const char* p) {
        uint32_t x;
        std::memcpy(&x, p, 4);
        return x;
    };
    const uint32_t folded = load(word) | load("    ");
    return folded == load("vcvs") || folded == load("vccs") || folded == load("ccvs") || folded == load("cccs");
}
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
