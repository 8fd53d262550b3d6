// Warnings and log lines (see diag.hpp).
#include "diag.hpp"

#include <cstring>

#include "module.hpp"
#include "objects.hpp"

namespace kv {

void warn(PyObject* category, PyObject* message, int stacklevel) {
    // A C function has no frame of its own: level 1 already names the Python
    // frame that called into the module, which a Python function reaches
    // with level 2.
    const int level = stacklevel > 1 ? stacklevel - 1 : 1;
    // The runtime's own `warn`, reached without importing the module and
    // building arguments. A message that has no C text of the same content
    // (a lone surrogate, a NUL character) goes through `warnings.warn`
    // instead, which takes it as it is.
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(message, &size);
    if (utf8 && std::strlen(utf8) == static_cast<size_t>(size)) {
        ok(PyErr_WarnEx(category, utf8, level));
        return;
    }
    if (!utf8) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) raise_set();
        PyErr_Clear();
    }
    Ref warnings = import("warnings");
    Ref level_number = own(PyLong_FromLong(level));
    Ref kwargs = new_dict();
    dict_set(kwargs.get(), "stacklevel", level_number.get());
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
