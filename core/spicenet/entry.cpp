// parse_oc_spice, the public entry of the SPICE import: reads the netlist into
// the IR (`_parse_oc_spice_into_ir`) and assembles the netlist records from it
// (`_recursive_netlist_from_ir`), both through the module globals. The one
// place that chooses between the fused road and the module-globals road, and
// the one where an error that ends an import gets its note (import_note.hpp).
#include <memory>
#include <new>

#include "assembly.hpp"
#include "bound.hpp"
#include "import_note.hpp"
#include "ir.hpp"
#include "native_ir.hpp"
#include "net_maps.hpp"

namespace spicenet {

namespace {

// A none or empty map becomes a new empty dict.
Ref or_empty(PyObject* map) {
    if (!map || map == Py_None || PyDict_GET_SIZE(map) == 0) return kv::new_dict();
    return Ref::borrow(map);
}

// The import's result must be a plain dict (or None).
Ref checked_result(Ref result) {
    if (!result.is(Py_None) && !PyDict_CheckExact(result.get()))
        kv::raise(PyExc_TypeError, "Expected %s, got %.200s", "dict", kv::type_name(result.get()));
    return result;
}

// `_recursive_netlist_from_ir` through the module global, on the Python IR.
Ref assemble(State& st, PyObject* ir, PyObject* keymap, PyObject* comments) {
    if (Ref fn = st.functions.replaced(st.module, fn_recursive_netlist_from_ir))
        return kv::call(fn.get(), {ir, keymap, comments});
    kv::check_type("ir", ir, kv::Type::Dict, false);
    kv::check_type("settings_keymap", keymap, kv::Type::Dict, false);
    kv::check_type("comments", comments, kv::Type::Dict, false);
    return recursive_netlist_from_ir(st, ir, keymap, comments);
}

// The records from the (IR map, comments map) pair a reading gave.
Ref assemble_pair(State& st, PyObject* parsed, PyObject* keymap) {
    Ref pair = kv::unpack_exactly(parsed, 2);
    Ref ir = Ref::borrow(PyList_GET_ITEM(pair.get(), 0));
    Ref comments = Ref::borrow(PyList_GET_ITEM(pair.get(), 1));
    return assemble(st, ir.get(), keymap, comments.get());
}

// The fused road: the text read into a NativeIr, the records made from it.
// Where a function of the assembly is found replaced, the module-globals road
// takes over from there: for the whole set here, for a block or a call per
// element inside assemble_native. Kept out of line, with the IR on the heap,
// so a stream whose read re-enters the import costs the C stack little per
// level and the runtime's recursion guard trips before the stack runs out.
// When an error ends it, `counted` receives the content the positions count,
// if the IR still holds it.
[[gnu::noinline]] static Ref import_fused(State& st, Ref content, PyObject* component_map, PyObject* kwargs,
                                          PyObject* keymap, Ref& counted) {
    auto ir = std::make_unique<NativeIr>();
    try {
        // A reading function replaced during the reading hands the rest over
        // to the module globals, and the records are made from the pair.
        if (Ref handed = read_into(st, content.get(), component_map, kwargs, *ir))
            return assemble_pair(st, handed.get(), keymap);
        content.reset();  // the IR holds it as long as it needs it
        Ref fn = st.functions.replaced(st.module, fn_recursive_netlist_from_ir);
        if (!fn) return assemble_native(st, *ir, keymap);
        Ref pair = materialize(st, *ir);
        return kv::call(fn.get(), {PyTuple_GET_ITEM(pair.get(), 0), keymap, PyTuple_GET_ITEM(pair.get(), 1)});
    } catch (const kv::PyErrorSet&) {
        counted = ir->content ? ir->content : content;
        throw;
    }
}

// The import through a replaced `_parse_oc_spice_into_ir`.
[[gnu::noinline]] Ref import_read_by(State& st, PyObject* read, PyObject* path_or_buf, PyObject* keymap,
                                     PyObject* component_map, PyObject* kwargs) {
    PyObject* read_args[] = {path_or_buf, component_map};
    Ref parsed = kv::own(PyObject_VectorcallDict(read, read_args, 2, kwargs));
    return assemble_pair(st, parsed.get(), keymap);
}

// The import once the content is read: fused, or through the globals.
// `counted` is the content whose relevant lines the positions of the IR
// count, once the road that counts them (the module's own reading) is chosen.
[[gnu::noinline]] Ref import_content(State& st, Ref content, PyObject* keymap, PyObject* component_map,
                                     PyObject* kwargs, Ref& counted) {
    if (native_reading(st)) return import_fused(st, std::move(content), component_map, kwargs, keymap, counted);
    bool own_count = false;
    Ref parsed;
    try {
        parsed = parse_content_into_ir(st, content.get(), component_map, kwargs, &own_count);
    } catch (const kv::PyErrorSet&) {
        if (own_count) counted = std::move(content);
        throw;
    }
    // The records are assembled from the IR: its positions may be looked up
    // in the content should an error end the assembly.
    if (own_count) counted = std::move(content);
    return assemble_pair(st, parsed.get(), keymap);
}

// Reading and assembling. The frames up to the read of the content stay
// small: a stream whose read re-enters the import piles them up.
Ref read_and_assemble(State& st, PyObject* path_or_buf, PyObject* keymap, PyObject* component_map,
                      PyObject* kwargs, Ref& counted) {
    if (Ref read = st.functions.replaced(st.module, fn_parse_oc_spice_into_ir))
        return import_read_by(st, read.get(), path_or_buf, keymap, component_map, kwargs);
    return import_content(st, read_content(st, path_or_buf), keymap, component_map, kwargs, counted);
}

// The road is chosen here, once per import: fused when the reading functions
// are the module's own once the content is read, else through the globals.
// An error that ends the import gets its note here; each import, also one
// that a collaborator starts meanwhile, keeps its own record of where it is.
Ref parse_oc_spice(State& st, PyObject* path_or_buf, PyObject* keymap_arg, PyObject* component_map_arg,
                   PyObject* kwargs) {
    Ref keymap = or_empty(keymap_arg);
    Ref component_map = or_empty(component_map_arg);

    const ImportScope scope(st.where);
    Ref counted;
    Ref result;
    try {
        result = read_and_assemble(st, path_or_buf, keymap.get(), component_map.get(), kwargs, counted);
    } catch (const kv::PyErrorSet&) {
        note_import_error(st, path_or_buf, counted.get());
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        note_import_error(st, path_or_buf, nullptr);
        kv::raise_set();
    }
    return checked_result(std::move(result));
}

PyObject* py_parse_oc_spice(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bound_call(
        args, nargs, kwnames, "parse_oc_spice",
        {kv::req("path_or_buf"), kv::opt("settings_keymap", kv::Type::Dict), kv::opt("component_map", kv::Type::Dict)},
        [](const kv::Args& a) { return parse_oc_spice(state(), a[0], a[1], a[2], a.kwargs.get()); }, true);
}

PyMethodDef def_parse_oc_spice = {
    "parse_oc_spice", kv::fastcall<py_parse_oc_spice>(), METH_FASTCALL | METH_KEYWORDS,
    "parse_oc_spice($module, path_or_buf, settings_keymap=None, component_map=None, **kwargs)\n--\n\n"
    "Import a SPICE netlist into netlist records.\n\n"
    "path_or_buf is a path (str or Path) of the netlist file or an open text\n"
    "stream. settings_keymap renames settings, component_map renames\n"
    "subcircuits and components; any other keyword argument is a named value\n"
    "for the single-quoted parameter expressions of the netlist.\n\n"
    "Returns a dict from subcircuit name to its record (\"instances\",\n"
    "\"connections\", \"ports\", \"settings\", \"placements\"), the subcircuit\n"
    "closed last first."};

}  // namespace

void register_entry(State& st) { st.functions.add(st.module, fn_parse_oc_spice, &def_parse_oc_spice); }

}  // namespace spicenet
