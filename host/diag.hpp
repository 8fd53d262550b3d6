// Warnings and log lines, through the runtime's warning machinery and the
// product logger; errors raised as the `raise` statement raises them.
#pragma once

#include "lazy.hpp"
#include "ref.hpp"

namespace kv {

// Emits `message` (a str) with `category`. `stacklevel` counts as for
// warnings.warn called inside a Python function: 2 attributes the warning to
// the caller of the module function. Throws when the warning was turned into
// an error.
void warn(PyObject* category, PyObject* message, int stacklevel);

enum class Level { Debug, Info, Warning };

// What a log line looks up, made once per module state (at exec, with the
// runtime ready): the interned names, and the lazy handle `log` seen through.
struct LogNames {
    Ref log;
    Ref methods[3];  // by Level: debug, info, warning
    LazyHandles lazy;
    LogNames();
};

// Obtains the logger anew through the module global `log` and calls its
// debug/info/warning method with one text.
void log_line(PyObject* module, const LogNames& names, Level level, PyObject* message);

// `raise obj`: an exception instance is raised as it is, an exception class
// is called without arguments first, anything else gives the runtime's
// TypeError. The exception in hand, if any, becomes the context.
[[noreturn]] void raise_object(PyObject* obj);

}  // namespace kv
