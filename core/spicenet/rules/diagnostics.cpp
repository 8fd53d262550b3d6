// Errors and warnings of the SPICE import (see diagnostics.hpp).
#include "diagnostics.hpp"

#include <algorithm>
#include <new>
#include <string_view>

#include "diag.hpp"

namespace spicenet {

namespace {

void warn_parse(State& st, PyObject* message) {
    Ref category = kv::global(st.module, st.names.ParseWarning.get());
    kv::warn(category.get(), message, 2);
}

}  // namespace

void raise_parse_error(State& st, PyObject* message) {
    Ref type = kv::global(st.module, st.names.ParseError.get());
    Ref error = kv::call(type.get(), {message});
    kv::raise_object(error.get());
}

void raise_ends_before_begin(State& st) {
    Ref message = kv::text(".ends before begin.");
    raise_parse_error(st, message.get());
}

void raise_unsupported_command(State& st, PyObject* command) {
    Ref message = kv::own(PyUnicode_FromFormat("Unsupported command: %S.", command));
    raise_parse_error(st, message.get());
}

void raise_net_overconnected(State& st, PyObject* node, PyObject* refs) {
    Ref message = kv::own(PyUnicode_FromFormat(
        "Net '%S' is connected to more than two ports: %R. This is currently not supported.", node, refs));
    raise_parse_error(st, message.get());
}

void warn_unclosed_block(State& st, PyObject* name) {
    Ref message = kv::own(
        PyUnicode_FromFormat("Subcircuit '%S' is not closed by .ends; its elements are ignored.", name));
    warn_parse(st, message.get());
}

void warn_port_overconnected(State& st, PyObject* node, PyObject* refs) {
    Ref message = kv::own(PyUnicode_FromFormat(
        "Port '%S' is connected to more than one pin: %R. Only the last one is kept.", node, refs));
    warn_parse(st, message.get());
}

namespace {

// The words around the expression in the warning of an unparsed one.
constexpr std::string_view kUnparsed[] = {
    "Could not parse '",
    "'. Setting it to None (to be specified during the circuit call). You can also set the value of '",
    "' as a keyword argument of kv.parse_oc_spice"};

// The message of an unparsed expression; an ASCII one (as nearly all are) is
// copied in place, with none of the runtime's format parsing per warning.
Ref unparsed_message(PyObject* expression) {
    if (!PyUnicode_CheckExact(expression) || !PyUnicode_IS_ASCII(expression))
        return kv::own(PyUnicode_FromFormat("%s%U%s%U%s", kUnparsed[0].data(), expression, kUnparsed[1].data(),
                                            expression, kUnparsed[2].data()));
    const Py_ssize_t length = PyUnicode_GET_LENGTH(expression);
    const Py_ssize_t fixed = kUnparsed[0].size() + kUnparsed[1].size() + kUnparsed[2].size();
    if (length > (PY_SSIZE_T_MAX - fixed) / 2) throw std::bad_alloc();
    Ref message = kv::own(PyUnicode_New(fixed + 2 * length, 127));
    char* at = static_cast<char*>(PyUnicode_DATA(message.get()));
    const char* text = static_cast<const char*>(PyUnicode_DATA(expression));
    for (int k = 0; k < 3; ++k) {
        at = std::copy(kUnparsed[k].begin(), kUnparsed[k].end(), at);
        if (k < 2) at = std::copy(text, text + length, at);
    }
    return message;
}

}  // namespace

void warn_unparsed(State& st, PyObject* expression) {
    Ref message = unparsed_message(expression);
    warn_parse(st, message.get());
}

}  // namespace spicenet
