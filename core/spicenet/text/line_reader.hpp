// The relevant lines of a SPICE content, one at a time and without a str per
// line: the content split at line boundaries, each physical line trimmed,
// "+" continuation lines folded into the statement before them, white-space
// runs reduced to one space, empty statements dropped.
#pragma once

#include <string>
#include <string_view>

namespace spicenet {

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

}  // namespace spicenet
