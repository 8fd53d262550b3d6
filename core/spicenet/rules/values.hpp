// Values of SPICE parameters. A value text is unquoted (double quotes, then
// single quotes marking an expression), a brace list becomes a bracket list,
// and number text is read as a float scaled by a one-letter suffix
// (p, n, u, m in any case). Expressions resolve against named values, else as
// literals; what is neither gives a ParseWarning and None.
//
// Also the micrometre window of lengths in metres and the in-place rescaling
// of a settings dict.
#pragma once

#include <initializer_list>
#include <string_view>

#include "arena.hpp"
#include "state.hpp"

namespace spicenet {

// Named values: the caller's keyword arguments, optionally overlaid by a
// subcircuit's settings (which win on equal names). Both stay borrowed; the
// merged dict is built only when a Python function needs it as **kwargs.
class Named {
  public:
    explicit Named(PyObject* base = nullptr) : base_(base) {}
    Named(PyObject* base, PyObject* overlay);

    // The value of `key` (a str), or an empty Ref.
    Ref find(PyObject* key) const;
    // All names in one dict (to pass as **kwargs); may be the base itself.
    PyObject* dict() const;
    // The dict that overlays the base (NULL when none).
    PyObject* overlay() const { return overlay_; }

  private:
    PyObject* base_ = nullptr;     // dict or NULL
    PyObject* overlay_ = nullptr;  // dict or NULL
    mutable Ref merged_;
};

// Arguments of a function with positional-only parameters and **kwargs.
// Every keyword is a named value, also one that shares a parameter's name.
struct NamedArgs {
    PyObject* values[2] = {nullptr, nullptr};  // borrowed
    Ref named;                                 // a new dict
};
NamedArgs bind_named(const char* func, std::initializer_list<kv::Param> params, PyObject* const* args,
                     Py_ssize_t nargsf, PyObject* kwnames);

// `_parse_value` of a value text. `original`, when given, is the str the text
// was taken from and comes back unchanged when the value is that text.
Ref parse_value(State& st, std::string_view value, const Named& named, PyObject* original = nullptr);
// `_parse_value` of any object (None and other falsy values give None).
Ref parse_value(State& st, PyObject* value, const Named& named);
// `_parse_value` through the module global.
Ref parse_value_late(State& st, std::string_view value, const Named& named);

// A value read without a Python object where none is needed: None, a float,
// a text (a view that lives as long as the netlist text or the arena), or the
// object an expression resolved to.
struct Value {
    enum class Kind : uint8_t { None, Number, Text, Object };
    Kind kind = Kind::None;
    double number = 0.0;
    std::string_view text;
    Ref object;

    // The object `_parse_value` returns for this value.
    Ref to_object() const;
};
// What one reading pass keeps of its expressions: the str of each expression
// text, made once; whether the module global `_eval` was the module's own
// when last looked up; and the value each name was last found to have. The
// last two hold while nothing that could change the globals or the named
// values has run since (State::calls_out), the value only for the same
// overlay of named values.
class Expressions {
  public:
    // `names`: the caller's named values (a dict or NULL).
    explicit Expressions(PyObject* names);

    // `_eval` of the expression text `s` (a view that outlives this object,
    // or a transient one that `keep` stores when it is new), through the
    // module global. A name found among the named values needs no look-up of
    // `_eval` again and runs no code.
    Ref eval(State& st, std::string_view s, const Named& named, TextArena* keep = nullptr);

  private:
    struct Known {
        Ref text;           // the expression as a str
        Ref value;          // what the named values gave for it, when found
        PyObject* overlay;  // for this overlay (borrowed)
        uint64_t seen;      // while State::calls_out stays this
    };
    ViewMap<Known> texts_;
    uint64_t seen_ = 0;
    bool known_ = false, own_ = false;
    bool plain_names_ = true;  // every name an exact str: a look-up runs no code
};

// `_parse_value` of a value text, as the module's own function reads it;
// expressions go through the module global `_eval` (`expressions`, when
// given, keeps what it can of them). A text made here (a brace list) is
// stored in `arena`.
Value read_value(State& st, std::string_view value, const Named& named, TextArena& arena,
                 Expressions* expressions = nullptr);

// `_eval` of an expression text (a str).
Ref eval(State& st, PyObject* key_or_value, const Named& named);
// `_eval` of an expression no named value has: a literal, else the warning
// and None. Bumps `State::calls_out` only where it may run code.
Ref eval_unnamed(State& st, PyObject* expression);

inline bool is_probably_um(double val, double low = 1e-10, double high = 0.01) {
    return low < val && val < high;
}

// A length in metres of on-chip size in micrometres; any other length as it is.
inline double um_value(double metres) { return is_probably_um(metres) ? metres * 1e6 : metres; }
// The same for a value of a setting: a float inside the window rescaled (a
// float subclass multiplied as Python multiplies it), anything else itself.
Ref um_value(PyObject* value);

// `_convert_um`: rescales the float lengths of `settings` (a dict) in place
// and returns it; the window test is `_is_probably_um` through the module
// global.
Ref convert_um(State& st, PyObject* settings);

}  // namespace spicenet
