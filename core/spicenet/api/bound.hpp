// The shape every module function shares: at the C boundary (kv::entry), its
// arguments bound to its signature, then its body on them.
#pragma once

#include <initializer_list>

#include "args.hpp"
#include "ref.hpp"

namespace spicenet {

// `body(args)` for the arguments bound to the signature of `func` and
// `params`. The signature is made at the first call (one per body, each
// lambda being a type of its own), inside the boundary, so that even its
// making fails as a Python error.
template <class Body>
PyObject* bound_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* func,
                     std::initializer_list<kv::Param> params, Body body, bool varkw = false) {
    return kv::entry([&] {
        static const kv::Signature sig(func, params, varkw);
        const kv::Args a = kv::bind(sig, args, nargs, kwnames);
        return body(a);
    });
}

}  // namespace spicenet
