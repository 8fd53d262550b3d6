// korvane.core.freeze: binds its collaborators lazily and registers freeze and
// _get_lumivar_version (freeze.cpp).
#include "state.hpp"

namespace freeze {

static void init(PyObject* m) {
    State& st = kv::ModuleState<State>::create(m);

    kv::bind_lazy(m, "nodalis", "nodalis");
    kv::bind_lazy(m, "get_pdk", "korvane.core.pdk", "get_pdk");
    kv::bind_lazy(m, "log", "korvane.logger", "get_logger");
    register_freeze(st);
}

}  // namespace freeze

KORVANE_MODULE(freeze, freeze::init)
