// PDK access: `_get_pdk` builds the project PDK from the settings, `get_base_pdk`
// builds a second, frozen copy of it, `get_pdk` hands out the project PDK
// activated, and `activate_pdk_by_name` is its deprecated alias.
//
// `_get_pdk` and `get_base_pdk` are bound as functools caches around the C
// functions below, so a failed call caches nothing and `_get_pdk.__wrapped__`
// runs the body again without touching the cached project PDK.
#include "diag.hpp"
#include "support.hpp"

namespace pdk {

// Modules of the host library that build its own sample PDKs.
static const char* const generic_names[][2] = {
    {"generic", "lumivar.generic_tech"},
    {"gpdk", "lumivar.gpdk"},
};

static bool is_generic(PyObject* lowered) {
    for (const auto& entry : generic_names)
        if (equal(lowered, kv::interned(entry[0]).get())) return true;
    return false;
}

static bool is_loaded(PyObject* name) { return contains(PyImport_GetModuleDict(), name); }

static Ref import_or_reload(State& st, PyObject* name) {
    const bool needs_reload = is_loaded(name);
    Ref module = kv::call(st.import_module.get(), {name});
    if (needs_reload) module = kv::call(st.reload.get(), {module.get()});
    return module;
}

// The body of `_get_pdk`.
static Ref build_pdk(State& st) {
    Ref import_name = setting(st, "get_pdk_name");
    Ref project_name = setting(st, "get_project_name");

    Ref lowered = kv::call_method(import_name.get(), "lower");
    if (is_generic(lowered.get()) &&
        !is_generic(kv::call_method(project_name.get(), "lower").get())) {
        const bool generic = equal(lowered.get(), kv::interned(generic_names[0][0]).get());
        Ref lib_name = kv::text(generic ? generic_names[0][1] : generic_names[1][1]);
        Ref module = import_or_reload(st, lib_name.get());
        // The undecorated builder, so every run makes a new PDK object.
        Ref builder = kv::attr(module.get(), "get_generic_pdk");
        Ref body = kv::attr(builder.get(), "__wrapped__");
        return kv::call(body.get());
    }

    Ref pdk_attr = kv::interned("PDK");
    const bool needs_reload = is_loaded(import_name.get());
    Ref module = kv::call(st.import_module.get(), {import_name.get()});
    Ref submod;
    if (needs_reload) {
        module = kv::call(st.reload.get(), {module.get()});
        Ref sub_name = kv::own(PyUnicode_Concat(import_name.get(), kv::interned(".pdk").get()));
        if (is_loaded(sub_name.get())) {
            Ref registered = kv::own(PyObject_GetItem(PyImport_GetModuleDict(), sub_name.get()));
            submod = kv::call(st.reload.get(), {registered.get()});
        }
    }
    const bool module_has = kv::ok(PyObject_HasAttrWithError(module.get(), pdk_attr.get())) == 1;
    const bool submod_has =
        submod && kv::ok(PyObject_HasAttrWithError(submod.get(), pdk_attr.get())) == 1;
    if (!module_has && !submod_has) {
        Ref msg = cat({kv::interned("Module '").get(), import_name.get(),
                       kv::interned("' does not expose a PDK in its __init__.py.").get()});
        PyErr_SetObject(PyExc_ImportError, msg.get());
        kv::raise_set();
    }
    return kv::attr(submod_has ? submod.get() : module.get(), pdk_attr.get());
}

// `_get_pdk()` through the current global (its cache when it is the module's own).
static Ref call_get_pdk_cached(State& st) {
    Ref f = st.functions.current(st.module, fn_get_pdk_uncached);
    return kv::call(f.get());
}

// `_get_pdk.__wrapped__()` of the current global: the body without the cache.
static Ref call_get_pdk_body(State& st) {
    Ref f = st.functions.current(st.module, fn_get_pdk_uncached);
    if (st.functions.is_own(fn_get_pdk_uncached, f.get())) return build_pdk(st);
    Ref body = kv::attr(f.get(), "__wrapped__");
    return kv::call(body.get());
}

Ref call_get_pdk(State& st) {
    Ref f = st.functions.current(st.module, fn_get_pdk);
    return kv::call(f.get());
}

Ref call_get_base_pdk(State& st) {
    Ref f = st.functions.current(st.module, fn_get_base_pdk);
    return kv::call(f.get());
}

// `prefix` followed by the PDK's name formatted as text.
static Ref log_text(State& st, PyObject* prefix, PyObject* pdk) {
    Ref name = kv::attr(pdk, st.str_name.get());
    return kv::own(PyUnicode_Concat(prefix, format_text(name.get()).get()));
}

// Every map attribute becomes a frozendict and every list a tuple, one level
// deep, written into the attribute dictionary directly.
static void freeze_attributes(State& st, PyObject* pdk) {
    Ref attrs = kv::attr(pdk, "__dict__");
    Ref frozen = kv::new_list();
    Ref frozendict;
    for_each_item(attrs.get(), [&](PyObject* key, PyObject* value) {
        Ref converted;
        if (kv::ok(PyObject_IsInstance(value, st.Mapping.get()))) {
            if (!frozendict) frozendict = kv::global(st.module, "frozendict");
            converted = kv::call(frozendict.get(), {value});
        } else if (PyList_Check(value)) {
            converted = kv::own(PySequence_Tuple(value));
        } else {
            converted = Ref::borrow(value);
        }
        kv::list_append(frozen.get(), kv::tuple_of({key, converted.get()}).get());
    });
    // The pairs are ours alone, and a tuple holds its items.
    for_each(frozen.get(), [&](PyObject* pair) {
        kv::ok(PyObject_SetItem(attrs.get(), PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)));
    });
}

static Ref get_base_pdk(State& st) {
    Ref pdk = call_get_pdk_cached(st);
    if (truthy(setting(st, "is_a_pdk").get())) return pdk;

    Ref base_pdk = call_get_pdk_body(st);
    // The cached project PDK must never be frozen.
    if (base_pdk.is(pdk.get())) base_pdk = kv::call(st.copy.get(), {pdk.get()});
    freeze_attributes(st, base_pdk.get());
    // Through object's own setter: the class may refuse attribute writes.
    kv::ok(PyObject_GenericSetAttr(base_pdk.get(), kv::interned("__class__").get(),
                                   st.FrozenPdk.get()));
    (void)kv::own(PyObject_CallMethodNoArgs(pdk.get(), st.str_activate.get()));
    Ref line = log_text(st, kv::text("Froze base PDK: ").get(), base_pdk.get());
    kv::log_line(st.module, st.log_names, kv::Level::Debug, line.get());
    return base_pdk;
}

static Ref get_pdk(State& st) {
    (void)call_get_base_pdk(st);
    Ref pdk = call_get_pdk_cached(st);
    (void)kv::own(PyObject_CallMethodNoArgs(pdk.get(), st.str_activate.get()));
    kv::log_line(st.module, st.log_names, kv::Level::Debug,
                 log_text(st, st.activated.get(), pdk.get()).get());
    return pdk;
}

static Ref activate_pdk_by_name(State& st, PyObject* name) {
    Ref pdk_name = setting(st, "get_pdk_name");
    Ref extra_msg = cat({kv::interned("The given 'name' argument '").get(), name,
                         kv::interned("' will be ignored. Using '").get(),
                         format_text(pdk_name.get()).get(),
                         kv::interned("' instead (as configured in 'pyproject.toml').").get()});
    if (equal(pdk_name.get(), name)) extra_msg = kv::text("");
    Ref msg = cat({kv::interned("activate_pdk_by_name is deprecated, use get_pdk() instead. ").get(),
                   extra_msg.get()});
    kv::warn(PyExc_DeprecationWarning, msg.get(), 2);
    return call_get_pdk(st);
}

// --- module functions ----------------------------------------------------------

static PyObject* py_get_pdk(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature sig("get_pdk", {});
        (void)kv::bind(sig, args, nargs, kwnames);
        return get_pdk(state());
    });
}

static PyObject* py_get_base_pdk(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature sig("get_base_pdk", {});
        (void)kv::bind(sig, args, nargs, kwnames);
        return get_base_pdk(state());
    });
}

static PyObject* py_activate_pdk_by_name(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature sig("activate_pdk_by_name", {kv::req("name", kv::Type::Str)});
        kv::Args a = kv::bind(sig, args, nargs, kwnames);
        return activate_pdk_by_name(state(), a[0]);
    });
}

static PyObject* py_get_pdk_uncached(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature sig("_get_pdk", {});
        (void)kv::bind(sig, args, nargs, kwnames);
        return build_pdk(state());
    });
}

PyMethodDef def_get_pdk = {
    "get_pdk", kv::fastcall<py_get_pdk>(), METH_FASTCALL | METH_KEYWORDS,
    "get_pdk($module)\n--\n\n"
    "Import a PDK by name.\n\n"
    "Returns:\n"
    "    lv.Pdk: The imported PDK object.\n\n"
    "Raises:\n"
    "    ImportError: If the specified PDK cannot be found."};

PyMethodDef def_get_base_pdk = {
    "get_base_pdk", kv::fastcall<py_get_base_pdk>(), METH_FASTCALL | METH_KEYWORDS,
    "get_base_pdk($module)\n--\n\n"
    "Get the base PDK, which is the generic PDK.\n\n"
    "Returns:\n"
    "    lv.Pdk: The base PDK object."};

PyMethodDef def_activate_pdk_by_name = {
    "activate_pdk_by_name", kv::fastcall<py_activate_pdk_by_name>(), METH_FASTCALL | METH_KEYWORDS,
    "activate_pdk_by_name($module, name)\n--\n\n"
    "Activate a PDK by name (deprecated).\n\n"
    "Args:\n"
    "    name: Name of the PDK to activate. (deprecated, will be ignored)\n\n"
    "Returns:\n"
    "    lv.Pdk: The activated PDK object."};

PyMethodDef def_get_pdk_uncached = {
    "_get_pdk", kv::fastcall<py_get_pdk_uncached>(), METH_FASTCALL | METH_KEYWORDS,
    "_get_pdk($module)\n--\n\n"
    "Build the project PDK from the configured PDK name."};

}  // namespace pdk
