// Unpacking values into a fixed number of names, with the runtime's errors:
// `a, b = value` as the interpreter runs it, and as compiled typed code runs
// it (its own "need more than ..." wording, which the SPICE import keeps).
#pragma once

#include <utility>

#include "ref.hpp"

namespace kv {

// `a, b = value`: TypeError "cannot unpack non-iterable ..." and ValueError
// "not enough values to unpack (expected 2, got N)" / "too many values to
// unpack (expected 2)".
std::pair<Ref, Ref> unpack_pair(PyObject* value);

// The items of `value` as a list of exactly `n`, with the compiled wording:
// "need more than N value(s) to unpack" / "too many values to unpack
// (expected n)". An exact tuple or list is read by its size; any other value
// is iterated (its own errors pass through).
Ref unpack_exactly(PyObject* value, Py_ssize_t n);

// The two ValueErrors of the compiled wording.
[[noreturn]] void raise_need_more(Py_ssize_t found);
[[noreturn]] void raise_too_many(Py_ssize_t expected);

}  // namespace kv
