// Settings patching and port patching (see settings.hpp).
#include "settings.hpp"

#include <deque>
#include <string>
#include <vector>

#include "arena.hpp"
#include "net_maps.hpp"
#include "text_unicode.hpp"
#include "values.hpp"

namespace spicenet {

Ref map_settings_keys(State&, PyObject* settings, PyObject* keymap, PyObject* memo) {
    Ref names = kv::own(PyDict_Keys(settings));
    kv::ok(PyList_Sort(names.get()));
    Ref out = kv::new_dict();
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(names.get()); i < n; ++i) {
        PyObject* name = PyList_GET_ITEM(names.get(), i);
        Ref value = net::item(settings, name);
        Ref key = kv::dict_get(keymap, name);
        if (!key) key = Ref::borrow(name);
        key = net::intern(memo, std::move(key));
        kv::dict_set(out.get(), key.get(), value.get());
    }
    return out;
}

Ref patch_settings(State& st, PyObject* settings, PyObject* keymap, PyObject* memo) {
    kv::check_type("settings", settings, kv::Type::Dict, false);
    kv::check_type("settings_keymap", keymap, kv::Type::Dict, false);
    Ref map_keys = st.current(fn_map_settings_keys);
    Ref mapped = st.functions.is_own(fn_map_settings_keys, map_keys.get())
                     ? map_settings_keys(st, settings, keymap, memo)
                     : kv::call(map_keys.get(), {settings, keymap});
    Ref rescale = st.current(fn_convert_um);
    if (st.functions.is_own(fn_convert_um, rescale.get())) {
        kv::check_type("settings", mapped.get(), kv::Type::Dict, false);
        return convert_um(st, mapped.get());
    }
    return kv::call(rescale.get(), {mapped.get()});
}

namespace {

// n when the str `s` reads "o<n>" from `start` on (n >= 1, decimal, no
// leading zero, as "o" + str(n) gives it); 0 otherwise.
Py_ssize_t generic_position(PyObject* s, Py_ssize_t start) {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
    if (len - start < 2) return 0;
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    if (PyUnicode_READ(kind, data, start) != 'o') return 0;
    if (PyUnicode_READ(kind, data, start + 1) == '0') return 0;
    Py_ssize_t n = 0;
    for (Py_ssize_t i = start + 1; i < len; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < '0' || c > '9') return 0;
        // Past any port count: no translation either way.
        if (n > (PY_SSIZE_T_MAX - 9) / 10) return 0;
        n = n * 10 + static_cast<Py_ssize_t>(c - '0');
    }
    return n;
}

// Translation of the instance port references of one record.
class PortPatcher {
  public:
    PortPatcher(State& st, PyObject* mapping, PyObject* instances)
        : st_(st), mapping_(mapping), instances_(instances) {}

    // `ref` with its port name translated; `ref` itself when nothing changes.
    Ref translate(PyObject* ref) const {
        if (!PyUnicode_Check(ref))
            kv::raise(PyExc_TypeError, "instance port reference must be str, not %.200s", kv::type_name(ref));
        const Py_ssize_t len = PyUnicode_GET_LENGTH(ref);
        const Py_ssize_t comma = PyUnicode_FindChar(ref, ',', 0, len, 1);
        if (comma == -2) kv::raise_set();
        if (comma == -1) kv::raise_need_more(1);
        const Py_ssize_t second = PyUnicode_FindChar(ref, ',', comma + 1, len, 1);
        if (second == -2) kv::raise_set();
        if (second >= 0) kv::raise_too_many(2);

        // Only generic names change, so the look-ups are needed for them alone.
        const Py_ssize_t n = generic_position(ref, comma + 1);
        if (n == 0) return Ref::borrow(ref);
        Ref instance = kv::own(PyUnicode_Substring(ref, 0, comma));
        Ref inst = net::lookup(instances_, instance.get());
        if (!inst) return Ref::borrow(ref);
        Ref component = net::lookup(inst.get(), st_.names.component.get());
        if (!component) component = kv::interned("");
        Ref names = net::lookup(mapping_, component.get());
        if (!names || n > PyTuple_GET_SIZE(names.get())) return Ref::borrow(ref);
        PyObject* name = PyTuple_GET_ITEM(names.get(), n - 1);
        Ref text = PyUnicode_Check(name) ? Ref::borrow(name) : kv::to_text(name);
        Ref prefix = kv::own(PyUnicode_Substring(ref, 0, comma + 1));
        return kv::own(PyUnicode_Concat(prefix.get(), text.get()));
    }

  private:
    State& st_;
    PyObject* mapping_;    // borrowed: component -> tuple of port names
    PyObject* instances_;  // borrowed: the record's "instances"
};

// n when the UTF-8 port name `p` reads "o<n>" (as generic_position).
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
// position its port name has, by str object: references repeat from record
// to record, so each is read once per call. The objects are held, so an
// address is not reused while the table lives.
class RefShapes {
  public:
    struct Shape {
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
        slots_[i].shape = {comma, generic_position(v.substr(comma + 1))};
        ++count_;
        return slots_[i].shape;
    }

  private:
    struct Slot {
        Ref ref;
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

// The port names of components, by str object: the same few components
// recur in every record. The slots hold their components, so an address is
// not reused while patching; the names are held by the mapping.
class ComponentNames {
  public:
    explicit ComponentNames(PyObject* mapping) : mapping_(mapping) {}

    // The mapping's port names for `component` (borrowed), or nullptr.
    PyObject* of(PyObject* component) {
        Slot& slot = slots_[(reinterpret_cast<uintptr_t>(component) >> 4) % kSlots];
        if (slot.component.is(component)) return slot.names;
        PyObject* names = PyDict_GetItemWithError(mapping_, component);  // borrowed
        if (!names && PyErr_Occurred()) kv::raise_set();
        slot.component = Ref::borrow(component);
        slot.names = names;
        return names;
    }

  private:
    static constexpr size_t kSlots = 61;
    struct Slot {
        Ref component;
        PyObject* names = nullptr;
    };
    PyObject* mapping_;
    Slot slots_[kSlots];
};

// The same translation for a record made of plain dicts with str instance
// names and components, the form assembly and normalisation give: which
// instances have a component with port names is settled once per record, so
// a reference whose port name is generic is looked up once.
class PlainPortPatcher {
  public:
    PlainPortPatcher(RefShapes& shapes, ComponentNames& components) : shapes_(shapes), components_(components) {}

    // False when the record is not of that form (the general road applies).
    bool build(PyObject* instances, PyObject* component_key) {
        Py_ssize_t pos = 0;
        PyObject *name, *instance;  // borrowed
        while (PyDict_Next(instances, &pos, &name, &instance)) {
            if (!PyUnicode_CheckExact(name) || !PyDict_CheckExact(instance)) return false;
            PyObject* component = PyDict_GetItemWithError(instance, component_key);  // borrowed
            if (!component && PyErr_Occurred()) kv::raise_set();
            if (component && !PyUnicode_CheckExact(component)) return false;
            if (!component) component = empty_.get();
            PyObject* names = components_.of(component);
            if (!names) continue;
            names_.emplace_back(name);
            bool inserted;
            live_.insert(names_.back().view, inserted) = names;
        }
        return true;
    }

    bool empty() const { return names_.empty(); }

    Ref translate(PyObject* ref) {
        const RefShapes::Shape& shape = shapes_.of(ref);
        if (names_.empty() || shape.n == 0) return Ref::borrow(ref);
        text::Utf8 u(ref);
        const std::string_view v = u.view;
        PyObject** names = live_.find(v.substr(0, shape.comma));
        if (!names || shape.n > PyTuple_GET_SIZE(*names)) return Ref::borrow(ref);
        PyObject* name = PyTuple_GET_ITEM(*names, shape.n - 1);
        Ref name_text = PyUnicode_Check(name) ? Ref::borrow(name) : kv::to_text(name);
        text::Utf8 t(name_text.get());
        std::string joined(v.substr(0, shape.comma + 1));
        joined.append(t.view);
        return kv::text(joined);
    }

  private:
    RefShapes& shapes_;
    ComponentNames& components_;
    Ref empty_ = kv::text({});
    std::deque<text::Utf8> names_;  // instance names with port names, kept readable
    ViewMap<PyObject*> live_;        // instance name -> port names (borrowed)
};

}  // namespace

void patch_ports(State& st, PyObject* netlist, PyObject* declared_ports) {
    auto& b = st.names;

    // Port names per component, from the set as it stands.
    Ref mapping = kv::new_dict();
    net::for_each_item(netlist, [&](PyObject* component, PyObject* record) {
        Ref ports = net::item(record, b.ports.get());
        Ref declared = declared_ports ? net::lookup(declared_ports, component) : Ref();
        if (declared.is(Py_None)) declared.reset();
        Ref names = kv::own(PySequence_Tuple(declared ? declared.get() : ports.get()));
        kv::dict_set(mapping.get(), component, names.get());
    });

    RefShapes shapes;
    ComponentNames components(mapping.get());
    net::for_each_item(netlist, [&](PyObject*, PyObject* record) {
        Ref instances = net::item(record, b.instances.get());
        Ref connections = net::item(record, b.connections.get());
        Ref ports = net::item(record, b.ports.get());

        PlainPortPatcher plain(shapes, components);
        if (PyDict_CheckExact(instances.get()) && PyDict_CheckExact(connections.get()) &&
            PyDict_CheckExact(ports.get()) && plain.build(instances.get(), b.component.get())) {
            Ref new_connections, new_ports;
            if (plain.empty()) {
                // Nothing to translate: check every reference, then copy.
                net::for_each_item(connections.get(), [&](PyObject* a, PyObject* z) {
                    (void)plain.translate(a);
                    (void)plain.translate(z);
                });
                net::for_each_item(ports.get(), [&](PyObject*, PyObject* ref) { (void)plain.translate(ref); });
                new_connections = kv::own(PyDict_Copy(connections.get()));
                new_ports = kv::own(PyDict_Copy(ports.get()));
            } else {
                new_connections = kv::own(_PyDict_NewPresized(PyDict_GET_SIZE(connections.get())));
                net::for_each_item(connections.get(), [&](PyObject* a, PyObject* z) {
                    Ref from = plain.translate(a);
                    Ref to = plain.translate(z);
                    kv::dict_set(new_connections.get(), from.get(), to.get());
                });
                new_ports = kv::new_dict();
                net::for_each_item(ports.get(), [&](PyObject* name, PyObject* ref) {
                    Ref to = plain.translate(ref);
                    kv::dict_set(new_ports.get(), name, to.get());
                });
            }
            kv::ok(PyObject_SetItem(record, b.connections.get(), new_connections.get()));
            kv::ok(PyObject_SetItem(record, b.ports.get(), new_ports.get()));
            return;
        }

        PortPatcher patcher(st, mapping.get(), instances.get());
        Ref new_connections = kv::new_dict();
        net::for_each_item(connections.get(), [&](PyObject* a, PyObject* z) {
            Ref from = patcher.translate(a);
            Ref to = patcher.translate(z);
            kv::dict_set(new_connections.get(), from.get(), to.get());
        });
        Ref new_ports = kv::new_dict();
        net::for_each_item(ports.get(), [&](PyObject* name, PyObject* ref) {
            Ref to = patcher.translate(ref);
            kv::dict_set(new_ports.get(), name, to.get());
        });
        kv::ok(PyObject_SetItem(record, b.connections.get(), new_connections.get()));
        kv::ok(PyObject_SetItem(record, b.ports.get(), new_ports.get()));
    });
}

// --- module functions ----------------------------------------------------------

namespace {

PyObject* py_map_settings_keys(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature sig("_map_settings_keys", {kv::req("settings", kv::Type::Dict),
                                                              kv::req("settings_keymap", kv::Type::Dict)});
        kv::Args a = kv::bind(sig, args, nargs, kwnames);
        return map_settings_keys(state(), a[0], a[1]);
    });
}

PyObject* py_patch_settings(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature sig("_patch_settings", {kv::req("settings", kv::Type::Dict),
                                                           kv::req("settings_keymap", kv::Type::Dict)});
        kv::Args a = kv::bind(sig, args, nargs, kwnames);
        return patch_settings(state(), a[0], a[1]);
    });
}

PyObject* py_patch_ports(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        static const kv::Signature sig("_patch_ports", {kv::req("netlist", kv::Type::Dict),
                                                        kv::opt("declared_ports", kv::Type::Dict)});
        kv::Args a = kv::bind(sig, args, nargs, kwnames);
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
