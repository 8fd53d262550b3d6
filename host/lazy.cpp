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
    Ref found = attr(obj.get(), target_name_.get());
    return found.is(unresolved_.get()) ? obj : found;
}

}  // namespace kv
