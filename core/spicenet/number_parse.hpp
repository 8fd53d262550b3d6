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

}  // namespace spicenet::number
