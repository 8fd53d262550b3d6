// Port resolution and ordering (see ports.hpp).
#include "ports.hpp"

#include "bound.hpp"
#include "net_maps.hpp"

namespace spicenet {

namespace {

bool is_one_of(PyObject* s, std::initializer_list<const char*> names) {
    for (const char* name : names)
        if (PyUnicode_CompareWithASCIIString(s, name) == 0) return true;
    return false;
}

Ref empty_tuple() { return kv::own(PyTuple_New(0)); }

Ref active_pdk(State& st) {
    Ref kv_pdk = st.lazy.target(kv::global(st.module, st.names.kv_pdk.get()));
    Ref get_pdk = kv::attr(kv_pdk.get(), st.names.get_pdk.get());
    return kv::call(get_pdk.get());
}

// `table.get(name)`, then `table.get(name[3:])` for a "wg_" name; an empty Ref
// when neither gives anything but None.
Ref find_by_name(PyObject* table, PyObject* name) {
    Ref found = net::lookup(table, name);
    if ((!found || found.is(Py_None)) && net::starts_with(name, "wg_")) {
        Ref rest = kv::own(PyUnicode_Substring(name, 3, PyUnicode_GET_LENGTH(name)));
        found = net::lookup(table, rest.get());
    }
    if (found.is(Py_None)) found.reset();
    return found;
}

// `_sort_ports` through the module global.
Ref sort_ports_late(State& st, PyObject* ports) {
    if (Ref fn = st.functions.replaced(st.module, fn_sort_ports)) return kv::call(fn.get(), {ports});
    return sort_ports(st, ports);
}

// natsorted(group), as a list of this call's own: a replaced natsorted may
// keep the list it returns and change it while the groups are walked.
Ref natural_order(PyObject* natsorted, PyObject* group) {
    Ref sorted = kv::call(natsorted, {group});
    return kv::own(PySequence_List(sorted.get()));
}

}  // namespace

Ref get_ports(State& st, PyObject* component) {
    if (is_one_of(component, {"vcvs", "vccs", "ccvs", "cccs"})) return st.names.source_ports;
    if (is_one_of(component, {"resistor", "capacitor"})) return st.names.two_pins;

    Ref from_model = st.functions.replaced(st.module, fn_get_ports_from_model);
    Ref model_ports =
        from_model ? kv::call(from_model.get(), {component}) : get_ports_from_model(st, component);
    if (kv::ok(PyObject_IsTrue(model_ports.get()))) return model_ports;

    if (Ref from_cell = st.functions.replaced(st.module, fn_get_ports_from_component))
        return kv::call(from_cell.get(), {component});
    return get_ports_from_component(st, component);
}

Ref get_ports_from_model(State& st, PyObject* component) {
    Ref pdk = active_pdk(st);
    Ref models = kv::attr(pdk.get(), st.names.models.get());
    Ref model = find_by_name(models.get(), component);
    if (!model) return empty_tuple();
    Ref value = kv::own(PyObject_CallNoArgs(model.get()));
    Ref nodalis = kv::global(st.module, st.names.nodalis.get());
    Ref nodalis_get_ports = kv::attr(nodalis.get(), st.names.get_ports.get());
    Ref names = kv::call(nodalis_get_ports.get(), {value.get()});
    return sort_ports_late(st, names.get());
}

Ref get_ports_from_component(State& st, PyObject* component) {
    Ref pdk = active_pdk(st);
    Ref cells = kv::attr(pdk.get(), st.names.cells.get());
    Ref factory = find_by_name(cells.get(), component);
    if (!factory) return empty_tuple();

    PyObject* built = PyObject_CallNoArgs(factory.get());
    if (!built) {
        // A cell that cannot be built has no known ports; interrupts and exit
        // requests are not ordinary errors and go on.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) kv::raise_set();
        PyErr_Clear();
        return empty_tuple();
    }
    Ref cell = Ref::steal(built);

    Ref ports = kv::attr(cell.get(), st.names.ports.get());
    Ref names = kv::new_list();
    Ref it = kv::own(PyObject_GetIter(ports.get()));
    while (Ref port = Ref::steal(PyIter_Next(it.get()))) {
        Ref name = kv::attr(port.get(), st.names.name.get());
        if (!kv::ok(PyObject_IsTrue(name.get()))) name = kv::interned("");
        kv::list_append(names.get(), name.get());
    }
    if (PyErr_Occurred()) kv::raise_set();
    return sort_ports_late(st, names.get());
}

Ref sort_ports(State& st, PyObject* ports) {
    // One pass over the input, so any iterable (a generator included) works.
    Ref names = kv::own(PySequence_List(ports));
    const Py_ssize_t n = PyList_GET_SIZE(names.get());
    Ref o_group = kv::new_list(), e_group = kv::new_list();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = PyList_GET_ITEM(names.get(), i);
        if (!PyUnicode_Check(name))
            kv::raise(PyExc_TypeError, "port names must be str, not %.200s", kv::type_name(name));
        if (net::starts_with(name, "o") && !net::starts_with(name, "out"))
            kv::list_append(o_group.get(), name);
        else if (net::starts_with(name, "e"))
            kv::list_append(e_group.get(), name);
    }

    Ref natsorted = kv::global(st.module, st.names.natsorted.get());
    Ref o_sorted = natural_order(natsorted.get(), o_group.get());
    Ref e_sorted = natural_order(natsorted.get(), e_group.get());

    // The rest: every name not equal to a name of the o and e groups.
    Ref taken = kv::own(PySet_New(o_sorted.get()));
    for (Py_ssize_t i = 0, m = PyList_GET_SIZE(e_sorted.get()); i < m; ++i)
        kv::ok(PySet_Add(taken.get(), PyList_GET_ITEM(e_sorted.get(), i)));
    Ref in_group = kv::new_list(), other_group = kv::new_list();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = PyList_GET_ITEM(names.get(), i);
        if (kv::ok(PySet_Contains(taken.get(), name))) continue;
        kv::list_append(net::starts_with(name, "in") ? in_group.get() : other_group.get(), name);
    }
    Ref in_sorted = natural_order(natsorted.get(), in_group.get());
    Ref other_sorted = natural_order(natsorted.get(), other_group.get());

    Ref result = kv::new_list();
    for (PyObject* part : {in_sorted.get(), other_sorted.get(), o_sorted.get(), e_sorted.get()})
        kv::ok(PyList_SetSlice(result.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, part));
    return kv::own(PyList_AsTuple(result.get()));
}

Ref get_port(PyObject* ports, Py_ssize_t i) {
    if (i < PyTuple_GET_SIZE(ports)) return Ref::borrow(PyTuple_GET_ITEM(ports, i));
    return kv::own(PyUnicode_FromFormat("o%zd", i + 1));
}

// --- module functions ----------------------------------------------------------

namespace {

PyObject* py_get_ports(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature sig("_get_ports", {kv::req("component", kv::Type::Str)});
        State& st = state();
        st.calls_out.bump();  // the PDK's code may run
        kv::Args a = kv::bind(sig, args, nargs, kwnames);
        return get_ports(st, a[0]);
    });
}

PyObject* py_get_ports_from_model(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bound_call(args, nargs, kwnames, "_get_ports_from_model", {kv::req("component", kv::Type::Str)},
                      [](const kv::Args& a) { return get_ports_from_model(state(), a[0]); });
}

PyObject* py_get_ports_from_component(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bound_call(args, nargs, kwnames, "_get_ports_from_component", {kv::req("component", kv::Type::Str)},
                      [](const kv::Args& a) { return get_ports_from_component(state(), a[0]); });
}

PyObject* py_sort_ports(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bound_call(args, nargs, kwnames, "_sort_ports", {kv::req("ports")},
                      [](const kv::Args& a) { return sort_ports(state(), a[0]); });
}

// `_get_port` of a position given as any int, with the runtime's errors.
Ref get_port_at(PyObject* ports, PyObject* i) {
    if (!PyLong_Check(i))
        kv::raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                  "i", "int", kv::type_name(i));
    int overflow = 0;
    long long position = PyLong_AsLongLongAndOverflow(i, &overflow);
    if (position == -1 && PyErr_Occurred()) kv::raise_set();
    if (overflow < 0 || (overflow == 0 && position < 0))
        kv::raise(PyExc_ValueError, "position must not be negative, got %R", i);
    if (overflow > 0 || position >= PY_SSIZE_T_MAX) {
        // Beyond any tuple: the generic name, counted in Python integers.
        Ref one = kv::own(PyLong_FromLong(1));
        Ref next = kv::own(PyNumber_Add(i, one.get()));
        return kv::own(PyUnicode_FromFormat("o%S", next.get()));
    }
    return get_port(ports, static_cast<Py_ssize_t>(position));
}

PyObject* py_get_port(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bound_call(args, nargs, kwnames, "_get_port", {kv::req("ports", kv::Type::Tuple), kv::req("i")},
                      [](const kv::Args& a) { return get_port_at(a[0], a[1]); });
}

PyMethodDef def_get_ports = {
    "_get_ports", kv::fastcall<py_get_ports>(), METH_FASTCALL | METH_KEYWORDS,
    "_get_ports($module, component)\n--\n\n"
    "Port names of a component, in pin order: fixed for circuit primitives,\n"
    "else from the active PDK's models, else from its cells."};
PyMethodDef def_get_ports_from_model = {
    "_get_ports_from_model", kv::fastcall<py_get_ports_from_model>(), METH_FASTCALL | METH_KEYWORDS,
    "_get_ports_from_model($module, component)\n--\n\n"
    "Port names of the active PDK's model of that name (or of the name without\n"
    "a \"wg_\" prefix), in canonical order; empty when there is none."};
PyMethodDef def_get_ports_from_component = {
    "_get_ports_from_component", kv::fastcall<py_get_ports_from_component>(), METH_FASTCALL | METH_KEYWORDS,
    "_get_ports_from_component($module, component)\n--\n\n"
    "Port names of the active PDK's cell of that name (or of the name without\n"
    "a \"wg_\" prefix), in canonical order; empty when there is none or it\n"
    "cannot be built."};
PyMethodDef def_sort_ports = {
    "_sort_ports", kv::fastcall<py_sort_ports>(), METH_FASTCALL | METH_KEYWORDS,
    "_sort_ports($module, ports)\n--\n\n"
    "Port names in canonical order: in*, other names, o*, e*; each group in\n"
    "natural order."};
PyMethodDef def_get_port = {
    "_get_port", kv::fastcall<py_get_port>(), METH_FASTCALL | METH_KEYWORDS,
    "_get_port($module, ports, i)\n--\n\n"
    "Name of the pin at position i: ports[i], or o<i+1> beyond the known ports."};

}  // namespace

void register_ports(State& st) {
    Ref lru_cache = kv::attr(kv::import("functools").get(), "lru_cache");
    Ref maxsize = kv::new_dict();
    Ref size = kv::own(PyLong_FromLong(128));
    kv::dict_set(maxsize.get(), "maxsize", size.get());
    Ref cache = kv::call(lru_cache.get(), {}, maxsize.get());
    st.functions.add(st.module, fn_get_ports, &def_get_ports, cache.get());
    st.functions.add(st.module, fn_get_ports_from_model, &def_get_ports_from_model);
    st.functions.add(st.module, fn_get_ports_from_component, &def_get_ports_from_component);
    st.functions.add(st.module, fn_sort_ports, &def_sort_ports);
    st.functions.add(st.module, fn_get_port, &def_get_port);
}

}  // namespace spicenet
