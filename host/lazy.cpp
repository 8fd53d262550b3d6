// Lazy collaborators seen through (see lazy.hpp).
#include "lazy.hpp"

#include "objects.hpp"

namespace kv {

LazyHandles::LazyHandles() {
    Ref lazy = import("korvane.core.lazy");
    type_ = attr(lazy.get(), "LazyImport");
    unresolved_ = attr(lazy.get(), "_UNRESOLVED");
    target_name_ = interned("_target");
}

Ref LazyHandles::target(Ref obj) const {
    // Only the handle type itself: a subclass may forward differently.
    if (reinterpret_cast<PyObject*>(Py_TYPE(obj.get())) != type_.get()) return obj;
    // The slot is read as the type's own attribute look-up would read it,
    // without the hook that looks the type's `__getattr__` up on every read.
    // A handle whose slot is empty goes through its own methods.
    PyObject* found = PyObject_GenericGetAttr(obj.get(), target_name_.get());
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_set();
        PyErr_Clear();
        return obj;
    }
    Ref target = Ref::steal(found);
    return target.is(unresolved_.get()) ? obj : target;
}

}  // namespace kv
