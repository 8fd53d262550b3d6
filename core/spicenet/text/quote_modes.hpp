// The quote modes of the word split, in one place: both word readers (one
// character at a time, and a block of bytes at a time) step them here.
//
// A line is read in one of three modes: outside any quote ("char"), inside
// a double-quoted span ("string") or inside a single-quoted span ("eval").
// The mode is kept as the quote that opened the span being read, so a quote
// of the other kind inside a span changes nothing. A space ends a word only
// outside quotes; quote characters stay in their word.
#pragma once

namespace spicenet::text {

class QuoteMode {
  public:
    static constexpr bool is_quote(char c) { return c == '"' || c == '\''; }

    // Outside any quote: where a space ends a word.
    [[gnu::always_inline]] bool outside() const { return open_ == 0; }
    // After the quote character `quote`: opens a span outside one, closes
    // the span it opened, and is a plain character in a span of the other.
    [[gnu::always_inline]] void step(char quote) {
        if (open_ == 0) open_ = quote;
        else if (open_ == quote) open_ = 0;
    }

  private:
    char open_ = 0;  // '"' (string), '\'' (eval), 0 (char)
};

}  // namespace spicenet::text
