// Number text read as the runtime's float() reads a str: surrounding white
// space, a sign, decimal digits with optional fraction and exponent (single
// underscores between digits), or inf / infinity / nan in any case; correctly
// rounded.
#pragma once

#include <string_view>

namespace spicenet::number {

// Reads `s` (UTF-8) into `out`; false when it is not a number. Text outside
// ASCII (other digits and spaces the runtime accepts) is read by the runtime
// itself. Errors other than "not a number" propagate as kv::PyErrorSet.
bool read_float(std::string_view s, double& out);

// One pass over plain decimal text, `[sign] digits [. digits] [e [sign]
// digits]` of at most 15 significant digits and a decimal exponent within
// 22 (so the result is exact and needs no general reader): Whole when that
// is all of `s`, Suffix when one ASCII letter follows it (the whole text is
// then no number, the text without its last character is), Text when the
// first character after the sign already rules out a number for both the
// whole text and the text without its last character, else No (undecided).
enum class Simple { No, Whole, Suffix, Text };
Simple read_simple(std::string_view s, double& out);

}  // namespace spicenet::number
