// The rules of one subcircuit's record (see records.hpp).
#include "records.hpp"

#include "assembly.hpp"
#include "diagnostics.hpp"
#include "text_unicode.hpp"

namespace spicenet {

Ref NetTable::presized(size_t entries) { return kv::own(_PyDict_NewPresized(static_cast<Py_ssize_t>(entries))); }

PyVector<Ref> NetTable::refs_by_net() const {
    PyVector<Ref> lists(nets_.size());
    for (const auto& [net, ref] : pins_) {
        if (!lists[net]) lists[net] = kv::new_list();
        kv::list_append(lists[net].get(), ref);
    }
    return lists;
}

void NetTable::warn(State& st, PyObject* node, PyObject* refs) {
    Ref held = Ref::borrow(node);
    warn_port_overconnected(st, held.get(), refs);
    st.calls_out.bump();  // a warning may run code of the warning filters
}

PyObject* PinReferences::make(std::string_view name, PyObject* port) {
    Ref port_text = PyUnicode_Check(port) ? Ref::borrow(port) : kv::to_text(port);
    text::Utf8 u(port_text.get());
    buffer_.assign(name);
    buffer_.push_back(',');
    buffer_.append(u.view);
    if (PyObject* ref = texts_.find(buffer_)) return ref;
    return texts_.get(arena_.store(buffer_));
}

SubcktRecord::SubcktRecord(State& st, NetTable& nets, size_t elements)
    : st_(st),
      nets_(nets),
      instances_(NetTable::presized(elements)),
      ports_(kv::new_dict()),
      placements_(kv::new_dict()) {
    nets_.clear();
}

void SubcktRecord::instance(PyObject* name, PyObject* component, PyObject* settings) {
    auto& b = st_.names;
    Ref instance = kv::new_dict();
    kv::dict_set(instance.get(), b.component.get(), component);
    kv::dict_set(instance.get(), b.settings.get(), settings);
    kv::dict_set(instances_.get(), name, instance.get());
}

}  // namespace spicenet
