// Freezing a cell of the active PDK into a schematic netlist record.
//
// freeze(cell_name, **kwargs) builds the named cell through its factory with
// the given settings, extracts the host netlist (with on_multi_connect="ignore"
// from library version 9.34.0 on), keeps its six connectivity sections in a
// new map and reports the netlist's warnings to the product logger, one line
// per flattened entry. YAML cells and cells without instances are refused.
//
// _get_lumivar_version() reads lumivar.__version__ afresh on every call;
// whatever cannot be read as "major.minor.patch" gives (0, 0, 0).
//
// Collaborators (get_pdk, log, nodalis, _get_lumivar_version) are module
// globals looked up at call time, so replacing one changes behaviour.
#include <utility>

#include "diag.hpp"
#include "state.hpp"
#include "unpack.hpp"

namespace freeze {

namespace {

// --- library version ---------------------------------------------------------

Ref int_triple(long a, long b, long c) {
    Ref x = kv::own(PyLong_FromLong(a));
    Ref y = kv::own(PyLong_FromLong(b));
    Ref z = kv::own(PyLong_FromLong(c));
    return kv::tuple_of({x.get(), y.get(), z.get()});
}

// The runtime's int(): for a text, surrounding whitespace, a sign and single
// underscores between digits are accepted; anything else raises ValueError.
Ref int_of(PyObject* value) { return kv::own(PyNumber_Long(value)); }

// `value[i]`
Ref item(PyObject* value, Py_ssize_t i) {
    Ref index = kv::own(PyLong_FromSsize_t(i));
    return kv::own(PyObject_GetItem(value, index.get()));
}

// `value.split(sep)[0]`: the part before the first `sep`, by the value's own split.
Ref cut_at(PyObject* value, const char* sep) {
    Ref parts = kv::call_method(value, "split", {kv::interned(sep).get()});
    return item(parts.get(), 0);
}

// Whether `len(parts) > count`, asked afresh each time: the parts come from
// the version's own split and may change under the calls made in between.
bool longer_than(PyObject* parts, Py_ssize_t count) {
    const Py_ssize_t n = PyObject_Length(parts);
    if (n < 0) kv::raise_set();
    return n > count;
}

// (major, minor, patch) of a dotted version text, through its own `split`;
// "+local" and "-suffix" are cut off the patch, further dotted parts ignored,
// missing parts read as 0.
Ref parse_version(PyObject* version) {
    Ref parts = kv::call_method(version, "split", {kv::interned(".").get()});
    Ref zero = kv::own(PyLong_FromLong(0));
    PyObject* p = parts.get();
    Ref major = longer_than(p, 0) ? int_of(item(p, 0).get()) : zero;
    Ref minor = longer_than(p, 1) ? int_of(item(p, 1).get()) : zero;
    Ref patch_text = longer_than(p, 2) ? cut_at(cut_at(item(p, 2).get(), "+").get(), "-") : kv::text("0");
    Ref patch = int_of(patch_text.get());
    return kv::tuple_of({major.get(), minor.get(), patch.get()});
}

// Reading lumivar.__version__ and every step of its parsing: a ValueError,
// IndexError or AttributeError on the way (a module __getattr__ included)
// gives (0, 0, 0); the import itself and every other error pass.
Ref lumivar_version() {
    // Imported by name on each call: whatever sys.modules holds is read.
    Ref lumivar = kv::import("lumivar");
    try {
        Ref version = kv::attr(lumivar.get(), kv::interned("__version__").get());
        // A non-text version (bytes, a number, None) is unreadable.
        if (!PyUnicode_Check(version.get())) return int_triple(0, 0, 0);
        return parse_version(version.get());
    } catch (const kv::PyErrorSet&) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_IndexError) &&
            !PyErr_ExceptionMatches(PyExc_AttributeError))
            throw;
        PyErr_Clear();
        return int_triple(0, 0, 0);
    }
}

// The version through the module global, calling the C++ code directly while
// the global is still the module's own function.
Ref current_version(State& st) {
    Ref fn = st.functions.current(st.module, fn_get_lumivar_version);
    if (st.functions.is_own(fn_get_lumivar_version, fn.get())) return lumivar_version();
    return kv::call(fn.get());
}

// --- freezing -----------------------------------------------------------------

// net.get(key, {}), with a new empty map as the default each time.
Ref get_or_empty(PyObject* net, PyObject* key) {
    Ref fallback = kv::new_dict();
    if (PyDict_CheckExact(net)) {
        Ref value = kv::dict_get(net, key);
        return value ? value : fallback;
    }
    return kv::call_method(net, "get", {key, fallback.get()});
}

bool is_yaml_module(PyObject* module_name) {
    Ref suffix = kv::interned("_picyml");
    if (PyUnicode_CheckExact(module_name))
        return kv::ok(static_cast<int>(PyUnicode_Tailmatch(module_name, suffix.get(), 0, PY_SSIZE_T_MAX, 1)));
    Ref ends = kv::call_method(module_name, "endswith", {suffix.get()});
    return kv::ok(PyObject_IsTrue(ends.get()));
}


// "<key>: <value>" for every entry of the flattened warnings, all formed
// before any is logged.
Ref warning_texts(State& st, PyObject* net) {
    Ref warnings = get_or_empty(net, st.warnings.get());
    Ref nodalis = kv::global(st.module, "nodalis");
    Ref flatten = kv::attr(nodalis.get(), "flatten_dict");
    Ref options = kv::new_dict();
    kv::dict_set(options.get(), "sep", kv::interned(" ").get());
    Ref flat = kv::call(flatten.get(), {warnings.get()}, options.get());
    Ref items = kv::call_method(flat.get(), "items");
    Ref it = kv::own(PyObject_GetIter(items.get()));
    Ref texts = kv::new_list();
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        auto [key, value] = kv::unpack_pair(item.get());
        Ref key_text = kv::own(PyObject_Format(key.get(), nullptr));
        Ref value_text = kv::own(PyObject_Format(value.get(), nullptr));
        Ref line = kv::own(PyUnicode_FromFormat("%U: %U", key_text.get(), value_text.get()));
        kv::list_append(texts.get(), line.get());
    }
    if (PyErr_Occurred()) kv::raise_set();
    return texts;
}

Ref freeze_cell(State& st, PyObject* cell_name, PyObject* settings) {
    Ref get_pdk = kv::global(st.module, "get_pdk");
    Ref pdk = kv::call(get_pdk.get());

    Ref cells = kv::attr(pdk.get(), "cells");
    if (!kv::ok(PySequence_Contains(cells.get(), cell_name))) {
        Ref pdk_name = kv::attr(pdk.get(), "name");
        Ref shown = kv::own(PyObject_Format(pdk_name.get(), nullptr));
        Ref message = kv::own(PyUnicode_FromFormat("Cell %U not found in PDK %U", cell_name, shown.get()));
        PyErr_SetObject(PyExc_FileNotFoundError, message.get());
        kv::raise_set();
    }
    cells = kv::attr(pdk.get(), "cells");
    Ref cell_func = kv::own(PyObject_GetItem(cells.get(), cell_name));

    Ref module_name = kv::attr(cell_func.get(), "__module__");
    if (is_yaml_module(module_name.get()))
        kv::raise(PyExc_RuntimeError, "Cell %U is alreay a YAML cell.", cell_name);

    // Settings go in as keywords only; none at all when there are none.
    Ref cell = kv::call(cell_func.get(), {}, PyDict_GET_SIZE(settings) ? settings : nullptr);

    Ref version = current_version(st);
    const bool old_library = kv::ok(PyObject_RichCompareBool(version.get(), st.threshold.get(), Py_LT));
    Ref options;
    if (!old_library) {
        options = kv::new_dict();
        kv::dict_set(options.get(), "on_multi_connect", kv::interned("ignore").get());
    }
    Ref net = kv::call_method(cell.get(), "get_netlist", {}, options.get());

    Ref record = kv::new_dict();
    Ref instances;
    for (size_t i = 0; i < kSections.size(); ++i) {
        Ref value = get_or_empty(net.get(), st.sections[i].get());
        kv::dict_set(record.get(), st.sections[i].get(), value.get());
        if (i == 0) instances = value;
    }
    if (!kv::ok(PyObject_IsTrue(instances.get())))
        kv::raise(PyExc_RuntimeError, "Cell %U has no instances.", cell_name);

    Ref texts = warning_texts(st, net.get());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(texts.get()); ++i)
        kv::log_line(st.module, st.log_names, kv::Level::Warning, PyList_GET_ITEM(texts.get(), i));
    return record;
}

// --- module functions -----------------------------------------------------------

// Signatures are created on first call and never destroyed: their interned
// names must not be released after the interpreter has been finalised.

PyObject* py_freeze(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature& sig = *new kv::Signature("freeze", {kv::req("cell_name", kv::Type::Str)}, true);
        kv::Args a = kv::bind(sig, args, nargs, kwnames);
        return freeze_cell(state(), a[0], a.kwargs.get());
    });
}

PyObject* py_get_lumivar_version(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature& sig = *new kv::Signature("_get_lumivar_version", {});
        (void)kv::bind(sig, args, nargs, kwnames);
        return lumivar_version();
    });
}

PyMethodDef def_freeze = {
    "freeze", kv::fastcall<py_freeze>(), METH_FASTCALL | METH_KEYWORDS,
    "freeze($module, cell_name, **kwargs)\n--\n\n"
    "Freeze a python cell as schematic netlist.\n\n"
    "Args:\n"
    "    cell_name: name of the cell to freeze.\n"
    "    **kwargs: the keyword arguments to create the cell with.\n"};

PyMethodDef def_get_lumivar_version = {
    "_get_lumivar_version", kv::fastcall<py_get_lumivar_version>(), METH_FASTCALL | METH_KEYWORDS,
    "_get_lumivar_version($module)\n--\n\n"
    "Get the lumivar version as a tuple (major, minor, patch)."};

}  // namespace

void register_freeze(State& st) {
    for (size_t i = 0; i < kSections.size(); ++i) st.sections[i] = kv::interned(kSections[i]);
    st.warnings = kv::interned("warnings");
    st.threshold = int_triple(9, 34, 0);
    st.functions.add(st.module, fn_freeze, &def_freeze);
    st.functions.add(st.module, fn_get_lumivar_version, &def_get_lumivar_version);
}

}  // namespace freeze
