// korvane.core.freeze: binds its collaborators lazily and registers freeze.
#include "args.hpp"
#include "module.hpp"
#include "objects.hpp"

namespace freeze {

static void init(PyObject* m) {
    kv::bind_lazy(m, "nodalis", "nodalis");
    kv::bind_lazy(m, "get_pdk", "korvane.core.pdk", "get_pdk");
    kv::bind_lazy(m, "log", "korvane.logger", "get_logger");
}

}  // namespace freeze

KORVANE_MODULE(freeze, freeze::init)
