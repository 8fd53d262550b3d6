// Line preparation of SPICE text. The content is split at line boundaries,
// each physical line trimmed, "+" continuation lines folded into the
// statement before them, white-space runs reduced to one space and empty
// statements dropped: the relevant lines. Each relevant line splits into code
// and comment ("$" first, else "*"), and the code into words at spaces
// outside quotes.
//
// The module functions `_iter_relevant_lines`, `_strip_lines`,
// `_join_continuations`, `_standardize_spaces`, `_filter_empty` and
// `_split_words` return lazy streams (generator objects); `_chain` composes
// one-argument functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arena.hpp"
#include "state.hpp"
#include "text_unicode.hpp"

namespace spicenet {

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
// The non-empty words of `code`, appended to `out`.
void split_nonempty_words(std::string_view code, std::vector<std::string_view>& out);

// A relevant line taken apart as `split_comments` and `split_nonempty_words`
// take it, with the place of the first "=" in each word and whether the
// words after the first hold a keyword of `_handle_sources`: in one pass
// over its bytes where they are all printable ASCII, else in two.
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

// The relevant lines of a content, one at a time, without a str per line.
class LineReader {
  public:
    explicit LineReader(std::string_view content) : content_(content) {}
    // The next relevant line, valid until the next call; false at the end.
    bool next(std::string_view& line);

  private:
    bool next_physical(std::string_view& line);
    // The rest of a physical line from `at`, byte by byte.
    [[gnu::noinline]] bool finish_physical(std::string_view& line, size_t at, bool twice);
    void append_continuation(std::string_view rest);
    bool emit(std::string_view& line);

    std::string_view content_;
    size_t pos_ = 0;
    bool started_ = false;
    bool done_ = false;
    std::string_view statement_;  // into the content, or into statement_buffer_
    bool statement_buffered_ = false;
    // Whether the statement's bytes are all printable ASCII or spaces (its
    // only white space is then " "), and the same of the last physical line;
    // whether two spaces stand together in the plain part of that line.
    bool statement_plain_ = false;
    bool physical_plain_ = false;
    bool statement_twice_ = false;
    bool physical_twice_ = false;
    std::string statement_buffer_;
    std::string out_;
};

// Whether `_iter_relevant_lines` and every stage it composes are the module's
// own, so the line preparation can run as one C++ pass.
bool relevant_lines_own(State& st);

// `_iter_relevant_lines` of a content (checked to be a str).
Ref iter_relevant_lines(State& st, PyObject* content);

// While alive, gives direct access to the reader behind a stream that
// `_iter_relevant_lines` returned; the stream counts as running meanwhile.
class StreamLease {
  public:
    // A lease on `lines` when it is such a stream and neither running nor
    // finished.
    static std::optional<StreamLease> take(State& st, PyObject* lines);
    StreamLease(StreamLease&& other) noexcept;
    StreamLease(const StreamLease&) = delete;
    StreamLease& operator=(const StreamLease&) = delete;
    ~StreamLease();

    bool next(std::string_view& line);

  private:
    explicit StreamLease(PyObject* stream) : stream_(Ref::borrow(stream)) {}
    Ref stream_;
};

}  // namespace spicenet
