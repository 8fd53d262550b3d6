// `_chain`: a one-argument callable that passes its argument through a fixed
// tuple of functions, first to last, and returns the last result.
#pragma once

#include "state.hpp"

namespace spicenet {

// The callable composing `funcs[0..n)`.
Ref chain_of(State& st, PyObject* const* funcs, Py_ssize_t n);

// The type of those callables, made once at exec.
Ref make_chain_type(State& st);

}  // namespace spicenet
