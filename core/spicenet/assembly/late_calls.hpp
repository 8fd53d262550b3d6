// The calls assembly makes per element and per block, each through its module
// global: the module's own function runs as C++ on the values at hand, a
// replaced one gets the Python values it would get. Whether a global is still
// the module's own is asked of an `Owned` policy: looked up at every call
// (the module functions' road) or kept while `State::calls_out` stays (the
// fused import, kv::OwnedWhile). Every call into replaced code bumps
// `calls_out`, so what was kept is asked again after it.
#pragma once

#include <unordered_map>
#include <vector>

#include "ir.hpp"
#include "late.hpp"
#include "ports.hpp"
#include "settings.hpp"

namespace spicenet {

// The module functions assembly reaches through the globals, by position.
enum LateFn : size_t {
    late_get_port,
    late_patch_settings,
    late_map_settings_keys,
    late_convert_um,
    late_is_probably_um,
    late_parse_location_comment,
    late_parse_value,
    late_netlist_from_subckt,
    late_count
};
inline constexpr size_t kLateFns[late_count] = {fn_get_port,     fn_patch_settings,         fn_map_settings_keys,
                                                fn_convert_um,   fn_is_probably_um,         fn_parse_location_comment,
                                                fn_parse_value,  fn_netlist_from_subckt};

// Every global looked up when it is called.
struct LookedUpEachTime {
    State& st;
    bool own(LateFn f) { return st.own(static_cast<Fn>(kLateFns[f])); }
};

// What was learnt of the globals kept while nothing that may change them ran.
using OwnedAssembly = kv::OwnedWhile<late_count>;

template <class Owned>
class ElementCalls {
  public:
    ElementCalls(State& st, Owned& owned, PyObject* keymap, PyObject* memo)
        : st_(st), owned_(owned), keymap_(keymap), memo_(memo) {}

    bool own(LateFn f) { return owned_.own(f); }

    // The replaced global `f` called with `args`.
    template <class... A>
    Ref call_replaced(LateFn f, A... args) {
        Ref fn = st_.current(static_cast<Fn>(kLateFns[f]));
        Ref result = kv::call(fn.get(), {args...});
        st_.calls_out.bump();
        return result;
    }

    // `_get_ports(component)`, always through the global: it is the cache.
    Ref get_ports(PyObject* component) {
        PyObject* globals = PyModule_GetDict(st_.module);                                 // borrowed
        Ref fn = Ref::borrow(PyDict_GetItemWithError(globals, st_.functions.name(fn_get_ports)));
        if (!fn) {
            if (PyErr_Occurred()) kv::raise_set();
            (void)st_.current(fn_get_ports);  // the NameError
        }
        Ref ports;
        if (PyVectorcall_Function(fn.get())) {
            PyObject* args[] = {component};
            ports = kv::own(PyObject_Vectorcall(fn.get(), args, 1, nullptr));
        } else {
            // A callable without the vector protocol (the cache is one) takes
            // its arguments as a tuple: one per component, made once.
            ports = kv::own(PyObject_Call(fn.get(), args_of(component), nullptr));
        }
        // The module's own counts the PDK code it runs itself.
        if (!st_.functions.is_own(fn_get_ports, fn.get()) || !PyUnicode_CheckExact(component)) st_.calls_out.bump();
        return ports;
    }

    // `_get_port(ports, i)`.
    Ref get_port(PyObject* ports, Py_ssize_t i) {
        if (!own(late_get_port)) {
            Ref position = kv::own(PyLong_FromSsize_t(i));
            return call_replaced(late_get_port, ports, position.get());
        }
        kv::check_type("ports", ports, kv::Type::Tuple, false);
        if (i < PyTuple_GET_SIZE(ports)) return Ref::borrow(PyTuple_GET_ITEM(ports, i));
        // Generic names repeat from element to element: make each once.
        const auto at = static_cast<size_t>(i);
        if (at >= generic_.size()) generic_.resize(at + 1);
        if (!generic_[at]) generic_[at] = spicenet::get_port(ports, i);
        return generic_[at];
    }

    // `_patch_settings(settings, settings_keymap)`.
    Ref patch_settings(PyObject* settings) {
        if (!own(late_patch_settings)) return call_replaced(late_patch_settings, settings, keymap_);
        return spicenet::patch_settings(st_, settings, keymap_, memo_);
    }

    // `_parse_location_comment(comment)`, of an object or of a comment's text.
    Ref parse_location_comment(PyObject* comment) {
        if (!own(late_parse_location_comment)) return call_replaced(late_parse_location_comment, comment);
        kv::check_type("comment", comment, kv::Type::Str, false);
        return spicenet::parse_location_comment(st_, comment);
    }
    Ref parse_location_comment(std::string_view comment, bool parse_value_known_own) {
        if (own(late_parse_location_comment))
            return spicenet::parse_location_comment(st_, comment, parse_value_known_own);
        Ref text = kv::text(comment);
        return call_replaced(late_parse_location_comment, text.get());
    }

    PyObject* keymap() const { return keymap_; }
    PyObject* memo() const { return memo_; }

  private:
    PyObject* args_of(PyObject* component) {
        Ref& args = component_args_[component];  // the tuple holds the component: its address stays
        if (!args) args = kv::tuple_of({component});
        return args.get();
    }

    State& st_;
    Owned& owned_;
    PyObject* keymap_;  // borrowed: held by the caller for the import
    PyObject* memo_;    // borrowed: the import's memo of texts
    std::vector<Ref> generic_;  // "o1", "o2", ... by position
    std::unordered_map<PyObject*, Ref> component_args_;
};

}  // namespace spicenet
