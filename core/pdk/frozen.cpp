// FrozenPdk: the host library's Pdk with attribute writes and deletes refused.
// It adds no state, so an existing Pdk object becomes frozen by changing its
// class (get_base_pdk does that after freezing the attribute values).
#include "support.hpp"

namespace pdk {

[[noreturn]] static void refuse() {
    kv::raise(PyExc_AttributeError, "Frozen PDK cannot be modified.");
}

static PyObject* py_setattr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&]() -> Ref {
        static const kv::Signature sig("__setattr__",
                                       {kv::req("name", kv::Type::Str), kv::req("value")});
        (void)kv::bind(sig, args, nargs, kwnames);
        refuse();
    });
}

static PyObject* py_delattr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&]() -> Ref {
        static const kv::Signature sig("__delattr__", {kv::req("name", kv::Type::Str)});
        (void)kv::bind(sig, args, nargs, kwnames);
        refuse();
    });
}

static PyMethodDef def_setattr = {
    "__setattr__", kv::fastcall<py_setattr>(), METH_FASTCALL | METH_KEYWORDS,
    "__setattr__($self, name, value)\n--\n\nRefuse the write: a frozen PDK cannot be modified."};

static PyMethodDef def_delattr = {
    "__delattr__", kv::fastcall<py_delattr>(), METH_FASTCALL | METH_KEYWORDS,
    "__delattr__($self, name)\n--\n\nRefuse the delete: a frozen PDK cannot be modified."};

Ref make_frozen_pdk(State& st, PyObject* base) {
    Ref ns = kv::new_dict();
    Ref modname = kv::attr(st.module, "__name__");
    kv::dict_set(ns.get(), "__module__", modname.get());
    kv::dict_set(ns.get(), "__qualname__", kv::interned("FrozenPdk").get());
    kv::dict_set(ns.get(), "__doc__",
                 kv::text("A frozen PDK that prevents modification of its attributes.").get());
    // As a class statement would: the metaclass of the base makes the class.
    auto* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(base));
    Ref cls = kv::call(metaclass, {kv::interned("FrozenPdk").get(), kv::tuple_of({base}).get(),
                                   ns.get()});
    if (!PyType_Check(cls.get()))
        kv::raise(PyExc_TypeError, "the metaclass of %.200s did not make a class", kv::type_name(base));
    auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
    // Method descriptors, so that they bind to the instance like Python methods.
    for (PyMethodDef* def : {&def_setattr, &def_delattr}) {
        Ref method = kv::own(PyDescr_NewMethod(type, def));
        kv::ok(PyObject_SetAttrString(cls.get(), def->ml_name, method.get()));
    }
    return cls;
}

}  // namespace pdk
