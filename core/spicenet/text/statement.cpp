// The statement splitter (see statement.hpp): code and comment, and the words
// of the code, either a character at a time (`next_word`) or fed with the
// places of spaces, "=" and quotes a block of bytes at a time (WordReader).
#include "statement.hpp"

#include "byte_blocks.hpp"
#include "objects.hpp"
#include "quote_modes.hpp"
#include "text_unicode.hpp"
#include "words.hpp"

namespace spicenet {

using text::Block;
using text::QuoteMode;

// --- code, comment and words -------------------------------------------------

CodeComment split_comments(std::string_view line) {
    const size_t i = text::comment_start(line);
    if (i == std::string_view::npos) return {line, {}};
    return {text::strip(line.substr(0, i)), text::strip(line.substr(i))};
}

Ref split_comments(PyObject* line) {
    text::Utf8 u(line);
    CodeComment cc = split_comments(u.view);
    if (cc.comment.empty() && cc.code.size() == u.view.size()) {
        Ref empty = kv::text({});
        return kv::tuple_of({line, empty.get()});
    }
    Ref code = kv::text(cc.code), comment = kv::text(cc.comment);
    return kv::tuple_of({code.get(), comment.get()});
}

bool next_word(std::string_view code, size_t& pos, std::string_view& word) {
    if (pos == std::string_view::npos) return false;
    QuoteMode mode;
    const size_t start = pos;
    for (size_t i = start; i < code.size(); ++i) {
        const char c = code[i];
        if (c == ' ' && mode.outside()) {
            word = code.substr(start, i - start);
            pos = i + 1;
            return true;
        }
        if (QuoteMode::is_quote(c)) mode.step(c);
    }
    word = code.substr(start);
    pos = std::string_view::npos;
    return true;
}

namespace {

// `s` without white space at either end; most texts lose a space at most.
std::string_view strip_ends(std::string_view s) {
    s = text::trim_spaces(s);
    if (s.empty()) return s;
    const auto first = static_cast<unsigned char>(s.front()), last = static_cast<unsigned char>(s.back());
    if (first < 0x80 && last < 0x80 && !text::ascii_space(first) && !text::ascii_space(last)) return s;
    return text::strip(s);
}

// Words as `next_word` reads them, fed with the places of the spaces, "="
// and quotes of a text a block at a time. Words end at spaces outside
// quotes (the reading mode is always back outside when a word ends).
struct WordReader {
    QuoteMode mode;
    size_t start = 0;                      // of the word being read
    size_t equals = Statement::kNoEquals;  // its first "=" so far

    // Room for the words of a text of `size` bytes: all of them at once for
    // a short text, else a block's worth before each block (`checked`).
    static bool reserve(size_t size, Statement& out) {
        constexpr size_t kAtOnce = 512;
        if (size > kAtOnce) return true;
        out.words.room(size / 2 + 1);
        out.equals.room(size / 2 + 1);
        return false;
    }

    // `events`: bit i for byte `at + i` of `text`. The words are written
    // past the ends of the buffers and counted after the block.
    // `keyword`, when given, receives the index of the first word after the
    // first that is a source keyword of four bytes (the text is plain).
    [[gnu::always_inline]] void feed(std::string_view text, size_t at, uint32_t events, Statement& out,
                                     bool checked, size_t* keyword) {
        if (checked) {
            // A block ends at most as many words as it has bytes.
            out.words.room(Block::kSize);
            out.equals.room(Block::kSize);
        }
        std::string_view* const words = out.words.data();
        size_t* const equals_of = out.equals.data();
        size_t count = out.words.size();
        const char* const data = text.data();
        for (; events; events &= events - 1) {
            const size_t i = at + text::first_index(events);
            const char c = data[i];
            if (c == ' ') {
                if (!mode.outside()) continue;
                if (i > start) {
                    if (keyword && i - start == 4 && count > 0 && *keyword == SIZE_MAX && source_keyword4(data + start))
                        *keyword = count;
                    words[count] = std::string_view(data + start, i - start);
                    equals_of[count++] = equals;
                }
                start = i + 1;
                equals = Statement::kNoEquals;
            } else if (c == '=') {
                equals = equals == Statement::kNoEquals ? i - start : equals | Statement::kTwice;
            } else {
                mode.step(c);
            }
        }
        out.words.resize_within(count);
        out.equals.resize_within(count);
    }

    // The word being read, ended at `end`.
    [[gnu::always_inline]] void finish(std::string_view text, size_t end, Statement& out) const {
        if (end > start) {
            out.words.push_back(std::string_view(text.data() + start, end - start));
            out.equals.push_back(equals);
        }
    }
};

// The bytes a WordReader is fed with.
[[gnu::always_inline]] inline uint32_t word_events(const Block& block) {
    return block.eq(' ') | block.eq('=') | block.eq('"') | block.eq('\'');
}

// A line whose code is printable ASCII (false, with `out` to be cleared,
// for any other): its only white space is " ", so stripping the code is
// dropping spaces. The words are read up to the first comment marker. A
// "*" there starts the comment unless a "$" follows; then the words go on
// up to the "$".
bool split_plain(std::string_view line, Statement& out) {
    const size_t n = line.size();
    size_t keyword = SIZE_MAX;
    WordReader reader;
    const bool checked = WordReader::reserve(n, out);
    size_t marker = std::string_view::npos;
    for (size_t at = 0; at < n; at += Block::kSize) {
        const Block block = text::block_at(line, at);
        uint32_t within = text::first_bytes(n - at);
        if (block.special() & within) return false;
        if (const uint32_t marks = block.eq('$') | block.eq('*')) {
            within = text::below_first(marks);
            marker = at + text::first_index(marks);
        }
        reader.feed(line, at, word_events(block) & within, out, checked, &keyword);
        if (marker != std::string_view::npos) break;
    }
    size_t cut = marker;
    if (marker != std::string_view::npos && line[marker] == '*') {
        const size_t dollar = line.find('$', marker + 1);
        if (dollar != std::string_view::npos) {
            for (size_t at = marker; at < dollar; at += Block::kSize) {
                const Block block = text::block_at(line, at);
                const uint32_t within = text::first_bytes(dollar - at);
                if (block.special() & within) return false;
                reader.feed(line, at, word_events(block) & within, out, checked, &keyword);
            }
            cut = dollar;
        }
    }
    size_t code_end = n;
    out.comment = {};
    if (cut != std::string_view::npos) {
        out.comment = strip_ends(line.substr(cut));
        code_end = cut;
        while (code_end > 0 && line[code_end - 1] == ' ') --code_end;
    }
    // The last word, and whether a word after the first is a keyword (the
    // words of plain code have no white space at their ends).
    if (code_end > reader.start) {
        const std::string_view last = line.substr(reader.start, code_end - reader.start);
        if (last.size() == 4 && !out.words.empty() && keyword == SIZE_MAX && source_keyword4(last.data()))
            keyword = out.words.size();
        out.words.push_back(last);
        out.equals.push_back(reader.equals);
    }
    out.source = keyword != SIZE_MAX;
    return true;
}

// Any line: the comment first, then the words of the code.
void split_general(std::string_view line, Statement& out) {
    const size_t cut = text::comment_start(line);
    std::string_view code = line;
    out.comment = {};
    if (cut != std::string_view::npos) {
        code = strip_ends(line.substr(0, cut));
        out.comment = strip_ends(line.substr(cut));
    }
    WordReader reader;
    const bool checked = WordReader::reserve(code.size(), out);
    for (size_t at = 0; at < code.size(); at += Block::kSize)
        reader.feed(code, at, word_events(text::block_at(code, at)), out, checked, nullptr);
    reader.finish(code, code.size(), out);
    out.source = out.words.size() > 1 && has_source_keyword(WordSpan(out.words.data() + 1, out.words.size() - 1));
}

}  // namespace

void split_statement(std::string_view line, Statement& out) {
    out.words.clear();
    out.equals.clear();
    if (split_plain(line, out)) return;
    out.words.clear();
    out.equals.clear();
    split_general(line, out);
}

}  // namespace spicenet
