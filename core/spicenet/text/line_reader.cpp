// The line reader (see line_reader.hpp). Physical lines are found a block of
// bytes at a time (byte_blocks.hpp) up to the first byte that may start a
// line boundary or be white space other than " "; the rest of such a line is
// read byte by byte. The counting reader (a template argument) adds one
// increment per physical line and a few stores per statement.
#include "line_reader.hpp"

#include "byte_blocks.hpp"
#include "text_unicode.hpp"

namespace spicenet {

template <bool kCount>
bool BasicLineReader<kCount>::next_physical(std::string_view& line) {
    const char* const begin = content_.data();
    const size_t size = content_.size();
    const size_t start = pos_;
    if (start >= size) return false;
    if constexpr (kCount) ++lines_.physical;
    // Sixteen bytes at a time: only a byte below 0x20 or from 0x80 can start
    // a boundary, or be white space other than " ". Up to the first such byte
    // the line is plain, and two spaces in a row are looked for there. The
    // last bytes of the content and lines that are not plain take the road
    // out of line, which keeps this one free of calls.
    const text::PlainStretch plain = text::plain_stretch(begin, start, size);
    if (plain.found && begin[plain.end] == '\n') {
        line = {begin + start, plain.end - start};
        pos_ = plain.end + 1;
        physical_plain_ = true;
        physical_twice_ = plain.twice;
        return true;
    }
    return finish_physical(line, plain.end, plain.twice);
}

template <bool kCount>
bool BasicLineReader<kCount>::finish_physical(std::string_view& line, size_t at, bool twice) {
    // From `at` on, the bytes are looked at one by one: the line is plain
    // until a byte below 0x20 or from 0x80 that starts no boundary.
    const char* const begin = content_.data();
    const char* const end = begin + content_.size();
    const size_t start = pos_;
    bool plain = true;
    char before = at > start ? begin[at - 1] : '\0';
    size_t length = 0;
    for (; at < content_.size(); ++at) {
        const auto c = static_cast<unsigned char>(begin[at]);
        if (c >= 0x20 && c < 0x80) {
            twice |= plain && c == ' ' && before == ' ';
            before = static_cast<char>(c);
            continue;
        }
        if ((length = text::boundary_at(begin + at, end))) break;
        plain = false;
    }
    line = {begin + start, at - start};
    pos_ = at + length;
    physical_plain_ = plain;
    physical_twice_ = twice;
    return true;
}

template <bool kCount>
void BasicLineReader<kCount>::append_continuation(std::string_view rest) {
    rest = text::strip(rest);
    // A statement blank so far starts where its text does.
    if constexpr (kCount)
        if (statement_.find_first_not_of(' ') == std::string_view::npos) lines_.first = lines_.physical;
    if (!statement_buffered_) {
        statement_buffer_.assign(statement_);
        statement_buffered_ = true;
    }
    statement_buffer_.push_back(' ');
    statement_buffer_.append(rest);
    statement_ = statement_buffer_;
}

template <bool kCount>
bool BasicLineReader<kCount>::emit(std::string_view& line) {
    // A plain line without two spaces in a row is standard once trimmed (two
    // spaces only in what was trimmed make the copy below, to the same text).
    const bool standard = statement_plain_ && !statement_buffered_ ? !statement_twice_
                                                                   : text::is_standard(statement_);
    if (standard) {
        line = statement_;
    } else {
        out_.clear();
        text::append_standard(statement_, out_);
        line = out_;
    }
    return !line.empty();
}

template <bool kCount>
void BasicLineReader<kCount>::ended(size_t last) {
    if constexpr (kCount) {
        lines_.emitted_first = lines_.first;
        lines_.emitted_last = last;
        lines_.first = lines_.physical;
    }
}

template <bool kCount>
bool BasicLineReader<kCount>::next(std::string_view& line) {
    std::string_view physical;
    if (!started_) {
        started_ = true;
        // Empty content has no line at all: nothing to fold, nothing to yield.
        if (!next_physical(physical)) {
            done_ = true;
        } else {
            statement_ = physical_plain_ ? text::trim_spaces(physical) : text::strip(physical);
            statement_plain_ = physical_plain_;
            statement_twice_ = physical_twice_;
            if constexpr (kCount) lines_.first = lines_.physical;
        }
    }
    while (!done_) {
        if (!next_physical(physical)) {
            done_ = true;
            if constexpr (kCount) ended(lines_.physical);
            return emit(line);
        }
        const bool plain = physical_plain_, twice = physical_twice_;
        std::string_view stripped = plain ? text::trim_spaces(physical) : text::strip(physical);
        if (!stripped.empty() && stripped.front() == '+') {
            append_continuation(stripped.substr(1));
            continue;
        }
        if constexpr (kCount) ended(lines_.physical - 1);
        const bool found = emit(line);
        statement_ = stripped;
        statement_plain_ = plain;
        statement_twice_ = twice;
        statement_buffered_ = false;
        if (found) return true;
    }
    return false;
}

template class BasicLineReader<false>;
template class BasicLineReader<true>;

}  // namespace spicenet
