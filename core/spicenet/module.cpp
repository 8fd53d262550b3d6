// korvane.core.spicenet: binds the module-level names in their load order and
// registers the functions of each concern. The logic lives in the concern
// files (lines, values, words, ir, ports, settings, assembly, entry).
#include "state.hpp"

namespace spicenet {

static State* the_state = nullptr;

State& state() { return *the_state; }

static void bind_standard_names(PyObject* m) {
    kv::bind(m, "ast", kv::import("ast").get());
    kv::bind(m, "re", kv::import("re").get());
    kv::bind(m, "warnings", kv::import("warnings").get());
    kv::bind_from(m, "Callable", "collections.abc");
    kv::bind_from(m, "Generator", "collections.abc");
    kv::bind_from(m, "Iterable", "collections.abc");
    kv::bind_from(m, "Sequence", "collections.abc");
    kv::bind_from(m, "suppress", "contextlib");
    kv::bind_from(m, "dataclass", "dataclasses");
    kv::bind_from(m, "lru_cache", "functools");
    kv::bind_from(m, "TextIOWrapper", "io");
    kv::bind_from(m, "Path", "pathlib");
    kv::bind_from(m, "TYPE_CHECKING", "typing");
    kv::bind_from(m, "Any", "typing");
    kv::bind_from(m, "Literal", "typing");
}

static void init(PyObject* m) {
    auto* st = new State();
    st->module = m;
    the_state = st;

    bind_standard_names(m);
    kv::bind_from(m, "lazy_import", "korvane.core.lazy");
    kv::bind_lazy(m, "nodalis", "nodalis");
    kv::bind_lazy(m, "kv_pdk", "korvane.core.pdk");
    kv::bind_lazy(m, "natsorted", "natsort", "natsorted");
    Ref all = kv::new_list();
    kv::list_append(all.get(), kv::interned("parse_oc_spice").get());
    kv::bind(m, "__all__", all.get());

    register_lines(*st);
    register_values(*st);
    register_words(*st);
    register_ir(*st);
    register_ports(*st);
    register_settings(*st);
    register_assembly(*st);
    register_entry(*st);
}

}  // namespace spicenet

KORVANE_MODULE(spicenet, spicenet::init)
