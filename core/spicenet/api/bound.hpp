// The shape every module function shares: at the C boundary (kv::entry), its
// arguments bound to its signature, then its body on them.
#pragma once

#include "args.hpp"
#include "ref.hpp"

namespace spicenet {

// `body(args)` for the arguments bound to the signature `make()` gives. The
// signature is made at the first call (one per pair of lambdas), inside the
// boundary, so that even its making fails as a Python error.
template <class Make, class Body>
PyObject* bound_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Make make, Body body) {
    return kv::entry([&] {
        static const kv::Signature sig = make();
        const kv::Args a = kv::bind(sig, args, nargs, kwnames);
        return body(a);
    });
}

}  // namespace spicenet
