// Settings patching and port patching (see settings.hpp).
#include "settings.hpp"

#include <string>
#include <utility>
#include <vector>

#include "arena.hpp"
#include "bound.hpp"
#include "net_maps.hpp"
#include "text_unicode.hpp"
#include "values.hpp"

namespace spicenet {

Ref settings_key(PyObject* keymap, PyObject* name, PyObject* memo) {
    Ref key = kv::dict_get(keymap, name);
    return net::intern(memo, key ? std::move(key) : Ref::borrow(name));
}

Ref map_settings_keys(State&, PyObject* settings, PyObject* keymap, PyObject* memo) {
    Ref names = kv::own(PyDict_Keys(settings));  // a list of this call's own
    kv::ok(PyList_Sort(names.get()));
    Ref out = kv::new_dict();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
        Ref name = Ref::borrow(PyList_GET_ITEM(names.get(), i));
        Ref value = net::item(settings, name.get());
        Ref key = settings_key(keymap, name.get(), memo);
        kv::dict_set(out.get(), key.get(), value.get());
    }
    return out;
}

Ref patch_settings(State& st, PyObject* settings, PyObject* keymap, PyObject* memo) {
    kv::check_type("settings", settings, kv::Type::Dict, false);
    kv::check_type("settings_keymap", keymap, kv::Type::Dict, false);
    Ref mapped;
    if (Ref map_keys = st.functions.replaced(st.module, fn_map_settings_keys)) {
        mapped = kv::call(map_keys.get(), {settings, keymap});
        st.calls_out.bump();
    } else {
        mapped = map_settings_keys(st, settings, keymap, memo);
    }
    if (Ref rescale = st.functions.replaced(st.module, fn_convert_um)) {
        Ref rescaled = kv::call(rescale.get(), {mapped.get()});
        st.calls_out.bump();
        return rescaled;
    }
    kv::check_type("settings", mapped.get(), kv::Type::Dict, false);
    return convert_um(st, mapped.get());
}

namespace {

// n when the port name `p` reads "o<n>" (n >= 1, decimal, no leading zero,
// as "o" + str(n) gives it); 0 otherwise, also past any port count.
Py_ssize_t generic_position(std::string_view p) {
    if (p.size() < 2 || p[0] != 'o' || p[1] == '0') return 0;
    Py_ssize_t n = 0;
    for (char c : p.substr(1)) {
        if (c < '0' || c > '9') return 0;
        if (n > (PY_SSIZE_T_MAX - 9) / 10) return 0;
        n = n * 10 + static_cast<Py_ssize_t>(c - '0');
    }
    return n;
}

// Where the comma of an instance port reference stands and which generic
// position its port name has, by str object: each reference is read once
// per call. The table holds the objects, so an address is not reused and
// the text a view points into stays.
class RefShapes {
  public:
    struct Shape {
        std::string_view text;  // the reference as UTF-8
        size_t comma = 0;
        Py_ssize_t n = 0;  // 0: not a generic name
    };

    // The shape of `ref`, with the errors of splitting it at its comma.
    const Shape& of(PyObject* ref) {
        if ((count_ + 1) * 2 > slots_.size()) grow();
        size_t i = slot_of(ref);
        if (slots_[i].ref.is(ref)) return slots_[i].shape;
        if (!PyUnicode_Check(ref))
            kv::raise(PyExc_TypeError, "instance port reference must be str, not %.200s", kv::type_name(ref));
        text::Utf8 u(ref);
        const std::string_view v = u.view;
        const size_t comma = v.find(',');
        if (comma == std::string_view::npos) kv::raise_need_more(1);
        if (v.find(',', comma + 1) != std::string_view::npos) kv::raise_too_many(2);
        slots_[i].ref = Ref::borrow(ref);
        slots_[i].text = std::move(u.holder);
        slots_[i].shape = {v, comma, generic_position(v.substr(comma + 1))};
        ++count_;
        return slots_[i].shape;
    }

  private:
    struct Slot {
        Ref ref, text;
        Shape shape;
    };

    size_t slot_of(PyObject* ref) const {
        size_t i = (reinterpret_cast<uintptr_t>(ref) >> 4) * 0x9E3779B97F4A7C15ull >> 20 & (slots_.size() - 1);
        while (slots_[i].ref && !slots_[i].ref.is(ref)) i = (i + 1) & (slots_.size() - 1);
        return i;
    }

    void grow() {
        std::vector<Slot> old(slots_.empty() ? 1024 : slots_.size() * 2);
        old.swap(slots_);
        for (Slot& slot : old) {
            if (!slot.ref) continue;
            Slot& to = slots_[slot_of(slot.ref.get())];
            to = std::move(slot);
        }
    }

    std::vector<Slot> slots_;
    size_t count_ = 0;
};

// The port names of components (a tuple, or an empty Ref), by component
// object: the same few components recur in every record. The slots hold
// what they point to.
class ComponentNames {
  public:
    explicit ComponentNames(PyObject* mapping) : mapping_(mapping) {}

    Ref of(PyObject* component) {
        Slot& slot = slots_[(reinterpret_cast<uintptr_t>(component) >> 4) % kSlots];
        if (slot.component.is(component)) return slot.names;
        Ref names = kv::dict_get(mapping_, component);
        slot.component = Ref::borrow(component);
        slot.names = names;
        return names;
    }

  private:
    static constexpr size_t kSlots = 61;
    struct Slot {
        Ref component, names;
    };
    PyObject* mapping_;  // borrowed: component -> tuple of port names
    Slot slots_[kSlots];
};

// Translation of the instance port references of one record. Which
// instances have a component with port names is settled once per record, by
// a walk of its "instances"; an instance that is not a plain dict is looked
// at on its first generic reference only. Instance names that are not str
// cannot be named by a reference and are passed over.
class RecordPorts {
  public:
    RecordPorts(State& st, RefShapes& shapes, ComponentNames& components, PyObject* instances)
        : st_(st), shapes_(shapes), components_(components) {
        net::for_each_item(instances, [&](PyObject* name, PyObject* instance) {
            if (!PyUnicode_Check(name)) return;
            Ref names, later;
            if (PyDict_CheckExact(instance)) names = names_of(instance);
            else later = Ref::borrow(instance);
            if (!names && !later) return;
            text::Utf8 u(name);
            bool fresh;
            Entry& entry = by_instance_.insert(u.view, fresh);  // the view stays: the entry holds the text
            if (fresh) entry.text = std::move(u.holder), ++entries_;
            entry.names = std::move(names);
            entry.instance = std::move(later);
        });
    }

    // Whether no reference of the record can change.
    bool none() const { return entries_ == 0; }

    // `ref` with its port name translated; `ref` itself when nothing changes.
    Ref translate(PyObject* ref) {
        const RefShapes::Shape& shape = shapes_.of(ref);
        if (shape.n == 0 || entries_ == 0) return Ref::borrow(ref);
        const Py_ssize_t n = shape.n;
        const std::string_view text = shape.text;
        Entry* entry = by_instance_.find(text.substr(0, shape.comma));
        if (!entry) return Ref::borrow(ref);
        if (entry->instance) entry->names = names_of(std::exchange(entry->instance, Ref()).get());
        if (!entry->names || n > PyTuple_GET_SIZE(entry->names.get())) return Ref::borrow(ref);
        Ref name = Ref::borrow(PyTuple_GET_ITEM(entry->names.get(), n - 1));
        Ref name_text = PyUnicode_Check(name.get()) ? name : kv::to_text(name.get());
        text::Utf8 t(name_text.get());
        joined_.assign(text.substr(0, shape.comma + 1));
        joined_.append(t.view);
        return kv::text(joined_);
    }

  private:
    struct Entry {
        Ref text;      // the instance name, which the key views
        Ref names;     // its component's port names, when the set has a record of it
        Ref instance;  // an instance not yet looked at
    };

    // The port names of the component of `instance` (an empty Ref when the
    // set has no record of it); a missing component is the empty name.
    Ref names_of(PyObject* instance) {
        Ref component = net::lookup(instance, st_.names.component.get());
        if (!component) component = kv::interned("");
        return components_.of(component.get());
    }

    State& st_;
    RefShapes& shapes_;
    ComponentNames& components_;
    ViewMap<Entry> by_instance_;
    size_t entries_ = 0;
    std::string joined_;
};

// The translated copy of a map of references; `both` translates the keys too.
Ref translated(RecordPorts& ports, PyObject* refs, bool both) {
    if (ports.none() && PyDict_CheckExact(refs)) {
        // Nothing can change: every reference is checked, then the map copied.
        net::for_each_item(refs, [&](PyObject* key, PyObject* ref) {
            if (both) (void)ports.translate(key);
            (void)ports.translate(ref);
        });
        return kv::own(PyDict_Copy(refs));
    }
    Ref out = PyDict_CheckExact(refs) ? kv::own(_PyDict_NewPresized(PyDict_GET_SIZE(refs))) : kv::new_dict();
    net::for_each_item(refs, [&](PyObject* key, PyObject* ref) {
        Ref from = both ? ports.translate(key) : Ref::borrow(key);
        Ref to = ports.translate(ref);
        kv::dict_set(out.get(), from.get(), to.get());
    });
    return out;
}

// Port names per component, from the set as it stands.
Ref port_mapping(State& st, PyObject* netlist, PyObject* declared_ports) {
    Ref mapping = kv::new_dict();
    net::for_each_item(netlist, [&](PyObject* component, PyObject* record) {
        Ref ports = net::item(record, st.names.ports.get());
        Ref declared = declared_ports ? net::lookup(declared_ports, component) : Ref();
        if (declared.is(Py_None)) declared.reset();
        Ref names = kv::own(PySequence_Tuple(declared ? declared.get() : ports.get()));
        kv::dict_set(mapping.get(), component, names.get());
    });
    return mapping;
}

}  // namespace

void patch_ports(State& st, PyObject* netlist, PyObject* declared_ports) {
    auto& b = st.names;
    Ref mapping = port_mapping(st, netlist, declared_ports);
    RefShapes shapes;
    ComponentNames components(mapping.get());
    net::for_each_item(netlist, [&](PyObject*, PyObject* record) {
        Ref instances = net::item(record, b.instances.get());
        Ref connections = net::item(record, b.connections.get());
        Ref ports = net::item(record, b.ports.get());
        RecordPorts translator(st, shapes, components, instances.get());
        Ref new_connections = translated(translator, connections.get(), true);
        Ref new_ports = translated(translator, ports.get(), false);
        kv::ok(PyObject_SetItem(record, b.connections.get(), new_connections.get()));
        kv::ok(PyObject_SetItem(record, b.ports.get(), new_ports.get()));
    });
}

// --- module functions ----------------------------------------------------------

namespace {

PyObject* py_map_settings_keys(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bound_call(args, nargs, kwnames, "_map_settings_keys",
                      {kv::req("settings", kv::Type::Dict), kv::req("settings_keymap", kv::Type::Dict)},
                      [](const kv::Args& a) { return map_settings_keys(state(), a[0], a[1]); });
}

PyObject* py_patch_settings(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bound_call(args, nargs, kwnames, "_patch_settings",
                      {kv::req("settings", kv::Type::Dict), kv::req("settings_keymap", kv::Type::Dict)},
                      [](const kv::Args& a) { return patch_settings(state(), a[0], a[1]); });
}

PyObject* py_patch_ports(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bound_call(args, nargs, kwnames, "_patch_ports",
                      {kv::req("netlist", kv::Type::Dict), kv::opt("declared_ports", kv::Type::Dict)},
                      [](const kv::Args& a) {
                          PyObject* declared = a.get(1, Py_None);
                          patch_ports(state(), a[0], declared == Py_None ? nullptr : declared);
                          return kv::none();
                      });
}

PyMethodDef def_map_settings_keys = {
    "_map_settings_keys", kv::fastcall<py_map_settings_keys>(), METH_FASTCALL | METH_KEYWORDS,
    "_map_settings_keys($module, settings, settings_keymap)\n--\n\n"
    "A new dict of the settings in sorted name order, each name translated\n"
    "through settings_keymap when it is a key there."};
PyMethodDef def_patch_settings = {
    "_patch_settings", kv::fastcall<py_patch_settings>(), METH_FASTCALL | METH_KEYWORDS,
    "_patch_settings($module, settings, settings_keymap)\n--\n\n"
    "Settings with translated names and lengths in metres rescaled to\n"
    "micrometres; the argument is not modified."};
PyMethodDef def_patch_ports = {
    "_patch_ports", kv::fastcall<py_patch_ports>(), METH_FASTCALL | METH_KEYWORDS,
    "_patch_ports($module, netlist, declared_ports=None)\n--\n\n"
    "Replace the generic pin names o1, o2, ... of instances of the set's own\n"
    "subcircuits, in place. o<n> becomes the n-th name of declared_ports[k]\n"
    "for an instance of component k when declared_ports has k, else the n-th\n"
    "key of the \"ports\" of k's record."};

}  // namespace

void register_settings(State& st) {
    st.functions.add(st.module, fn_map_settings_keys, &def_map_settings_keys);
    st.functions.add(st.module, fn_patch_settings, &def_patch_settings);
    st.functions.add(st.module, fn_patch_ports, &def_patch_ports);
}

}  // namespace spicenet
