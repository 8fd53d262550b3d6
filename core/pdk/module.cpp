// korvane.core.pdk: binds the collaborators in their load order, loads the
// host layout library (FrozenPdk derives from its Pdk class) and registers the
// module's functions in their layout order.
#include "state.hpp"

namespace pdk {

static State* the_state = nullptr;

State& state() { return *the_state; }

static void init(PyObject* m) {
    auto* st = new State();
    st->module = m;
    the_state = st;

    kv::bind(m, "__doc__", kv::text("PDK Utilties.").get());
    kv::bind_lazy(m, "m", "korvane.models");
    kv::bind_lazy(m, "cg", "korvane.core.callgraph");
    kv::bind_lazy(m, "lv", "lumivar");
    kv::bind_lazy(m, "log", "korvane.logger", "get_logger");
    kv::bind_lazy(m, "settings", "korvane.settings");
    kv::bind_lazy(m, "frozendict", "frozendict", "frozendict");
    kv::bind_lazy(m, "imports", "korvane.core.imports");
    kv::bind_lazy(m, "db", "korvane.core.database");
    kv::bind_lazy(m, "register_models", "korvane.core.models", "register_models");
    (void)kv::import("lumivar");
}

}  // namespace pdk

KORVANE_MODULE(pdk, pdk::init)
