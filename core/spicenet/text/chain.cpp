// `_chain` (see chain.hpp). A chain may hold chains: each call of the
// functions counts as a recursive call of the runtime, and freeing goes
// through the trashcan (nesting.hpp).
#include "chain.hpp"

#include "args.hpp"
#include "boxed.hpp"
#include "nesting.hpp"
#include "objects.hpp"

namespace spicenet {

namespace {

struct Chain {
    Ref funcs;  // tuple

    int traverse(visitproc fn, void* arg) { return kv::visit_ref(funcs, fn, arg); }
    void clear() { funcs.reset(); }
};

Ref apply(const Chain& chain, PyObject* arg) {
    const Ref funcs = chain.funcs;  // held: a function may clear the chain
    if (!funcs) kv::raise(PyExc_RuntimeError, "the chain was cleared");
    Ref value = Ref::borrow(arg);
    RecursionGuard guard(" while calling a Python object");
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(funcs.get()); i < n; ++i)
        value = kv::call(PyTuple_GET_ITEM(funcs.get(), i), {value.get()});
    return value;
}

PyObject* chain_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return kv::entry([&] {
        if (kwargs && PyDict_GET_SIZE(kwargs) > 0) kv::raise(PyExc_TypeError, "chained() takes no keyword arguments");
        const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        if (nargs != 1) kv::raise_arg_count("chained", true, 1, 1, nargs);
        return apply(kv::unbox<Chain>(self), PyTuple_GET_ITEM(args, 0));
    });
}

PyObject* chain_repr(PyObject* self) { return PyUnicode_FromFormat("<function _chain.<locals>.chained at %p>", self); }

PyType_Slot chain_slots[] = {
    SPICENET_NESTED_SLOTS(Chain),
    {Py_tp_call, reinterpret_cast<void*>(chain_call)},
    {Py_tp_repr, reinterpret_cast<void*>(chain_repr)},
    {0, nullptr}};

PyType_Spec chain_spec = {
    "korvane.core.spicenet.chained", sizeof(kv::Boxed<Chain>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    chain_slots};

}  // namespace

Ref chain_of(State& st, PyObject* const* funcs, Py_ssize_t n) {
    Chain chain{kv::own(PyTuple_New(n))};
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(chain.funcs.get(), i, Ref::borrow(funcs[i]).release());
    return kv::box(reinterpret_cast<PyTypeObject*>(st.chain_type.get()), std::move(chain));
}

Ref make_chain_type(State& st) { return kv::own(PyType_FromModuleAndSpec(st.module, &chain_spec, nullptr)); }

}  // namespace spicenet
