// Warnings and log lines (see diag.hpp).
#include "diag.hpp"

#include "module.hpp"
#include "objects.hpp"

namespace kv {

void warn(PyObject* category, PyObject* message, int stacklevel) {
    // A C function has no frame of its own: level 1 already names the Python
    // frame that called into the module, which a Python function reaches
    // with level 2.
    Ref warnings = import("warnings");
    Ref level = own(PyLong_FromLong(stacklevel > 1 ? stacklevel - 1 : 1));
    Ref kwargs = new_dict();
    dict_set(kwargs.get(), "stacklevel", level.get());
    (void)call_method(warnings.get(), "warn", {message, category}, kwargs.get());
}

LogNames::LogNames()
    : log(interned("log")), methods{interned("debug"), interned("info"), interned("warning")} {}

void log_line(PyObject* module, const LogNames& names, Level level, PyObject* message) {
    Ref get_logger = names.lazy.target(global(module, names.log.get()));
    Ref logger = own(PyObject_CallNoArgs(get_logger.get()));
    (void)own(PyObject_CallMethodOneArg(logger.get(), names.methods[static_cast<int>(level)].get(), message));
}

void raise_object(PyObject* obj) {
    Ref error = Ref::borrow(obj);
    if (PyExceptionClass_Check(obj)) {
        error = own(PyObject_CallNoArgs(obj));
        if (!PyExceptionInstance_Check(error.get()))
            raise(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R", obj,
                  reinterpret_cast<PyObject*>(Py_TYPE(error.get())));
    } else if (!PyExceptionInstance_Check(obj)) {
        raise(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    raise_set();
}

}  // namespace kv
