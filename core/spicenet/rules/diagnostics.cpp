// Errors and warnings of the SPICE import (see diagnostics.hpp).
#include "diagnostics.hpp"

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

void warn_unparsed(State& st, PyObject* expression) {
    Ref message = kv::own(PyUnicode_FromFormat(
        "Could not parse '%U'. Setting it to None (to be specified during the circuit call). You can also "
        "set the value of '%U' as a keyword argument of kv.parse_oc_spice",
        expression, expression));
    warn_parse(st, message.get());
}

}  // namespace spicenet
