// korvane.core.freeze: binds its collaborators lazily and registers freeze and
// _get_lumivar_version (freeze.cpp).
#include "state.hpp"

namespace freeze {

static State* the_state = nullptr;

State& state() { return *the_state; }

static void init(PyObject* m) {
    auto* st = new State();
    st->module = m;
    the_state = st;

    kv::bind_lazy(m, "nodalis", "nodalis");
    kv::bind_lazy(m, "get_pdk", "korvane.core.pdk", "get_pdk");
    kv::bind_lazy(m, "log", "korvane.logger", "get_logger");
    register_freeze(*st);
}

}  // namespace freeze

KORVANE_MODULE(freeze, freeze::init)
