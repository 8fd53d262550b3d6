// The relevant lines of a SPICE content, one at a time and without a str per
// line: the content split at line boundaries, each physical line trimmed,
// "+" continuation lines folded into the statement before them, white-space
// runs reduced to one space, empty statements dropped.
//
// `CountingLineReader` reads the same lines and also counts the physical
// lines, as str.splitlines counts them: for the line it gave last, the first
// and the last physical line of its statement, from 1. The import reads with
// `LineReader`, which counts nothing; the counting one reads a content again
// to say where an error happened.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

namespace spicenet {

template <bool kCount>
class BasicLineReader {
  public:
    explicit BasicLineReader(std::string_view content) : content_(content) {}
    // The next relevant line, valid until the next call; false at the end.
    bool next(std::string_view& line);

    // Of the line `next` gave last (counting reader only): its first and last
    // physical line. A statement whose first lines are blank (a "+" line after
    // an empty line) starts at its first line with text.
    size_t first_line() const
        requires kCount
    {
        return lines_.emitted_first;
    }
    size_t last_line() const
        requires kCount
    {
        return lines_.emitted_last;
    }

  private:
    bool next_physical(std::string_view& line);
    // The rest of a physical line from `at`, byte by byte.
    [[gnu::noinline]] bool finish_physical(std::string_view& line, size_t at, bool twice);
    void append_continuation(std::string_view rest);
    bool emit(std::string_view& line);
    // The statement pending ends with physical line `last` (counting only).
    void ended(size_t last);

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

    // Physical lines read, where the pending statement starts, and the lines
    // of the statement emitted last.
    struct Lines {
        size_t physical = 0, first = 0, emitted_first = 0, emitted_last = 0;
    };
    struct NoLines {};
    [[no_unique_address]] std::conditional_t<kCount, Lines, NoLines> lines_;
};

using LineReader = BasicLineReader<false>;
using CountingLineReader = BasicLineReader<true>;

extern template class BasicLineReader<false>;
extern template class BasicLineReader<true>;

}  // namespace spicenet
