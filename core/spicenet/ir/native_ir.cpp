// The parts of a NativeIr and the Python records made of it (see
// native_ir.hpp). Reading into it: native_reader.cpp.
#include "native_ir.hpp"

namespace spicenet {

PyObject* TextMemo::get(std::string_view s) {
    bool inserted;
    Ref& slot = map_.insert(s, inserted);
    if (inserted) {
        try {
            slot = kv::text(s);
        } catch (...) {
            slot = Ref::borrow(Py_None);  // never handed out: the import fails
            throw;
        }
    }
    return slot.get();
}

void NativeSetting::too_long() { kv::raise(PyExc_OverflowError, "a word of the netlist is too long"); }

Value NativeSetting::value() const {
    Value v;
    v.kind = kind;
    switch (kind) {
        case Value::Kind::None: break;
        case Value::Kind::Number: v.number = number; break;
        case Value::Kind::Text: v.text = text(); break;
        case Value::Kind::Object: v.object = Ref::borrow(object); break;
    }
    return v;
}

Ref NativeSetting::to_object() const { return value().to_object(); }

void NativeIr::release() {
    elements.free();
    PyVector<NativeBlock>().swap(blocks);
    words.free();
    settings.free();
    PyDeque<std::pair<Py_ssize_t, std::string_view>>().swap(comments);
    PyDeque<Ref>().swap(held);
    texts.clear();
    arena.clear();
    content.reset();
}

// --- the IR map and the comments map ------------------------------------------

Ref int_of(Py_ssize_t i) { return kv::own(PyLong_FromSsize_t(i)); }

Ref words_tuple(NativeIr& ir, uint32_t begin, uint32_t count) {
    Ref tuple = kv::own(PyTuple_New(count));
    for (uint32_t i = 0; i < count; ++i)
        PyTuple_SET_ITEM(tuple.get(), i, Ref::borrow(ir.texts.get(ir.word(begin + i))).release());
    return tuple;
}

Ref settings_dict(NativeIr& ir, const NativeElement& e) {
    Ref settings = kv::new_dict();
    for (uint32_t i = 0; i < e.settings_count; ++i) {
        const NativeSetting& s = ir.settings[e.settings_begin + i];
        Ref value = s.to_object();
        kv::dict_set(settings.get(), ir.texts.get(s.key()), value.get());
    }
    return settings;
}

Ref subckt_record(State& st, NativeIr& ir, const NativeBlock& b, PyObject* id, PyObject* children_ids) {
    Ref parent = int_of(b.parent_id);
    Ref ports = words_tuple(ir, b.ports_begin, b.ports_count);
    PyObject* args[] = {id, b.component, ports.get(), b.settings.get(), parent.get(), children_ids};
    return kv::own(PyObject_Vectorcall(st.Subckt.get(), args, 0, st.names.subckt_fields.get()));
}

namespace {

Ref conn_record(State& st, NativeIr& ir, const NativeElement& e, PyObject* id) {
    Ref parent = int_of(e.parent_id);
    Ref name = kv::text(e.name);
    Ref ports = words_tuple(ir, e.nodes_begin, e.nodes_count);
    Ref settings = settings_dict(ir, e);
    PyObject* args[] = {id, name.get(), e.component, ports.get(), settings.get(), parent.get()};
    return kv::own(PyObject_Vectorcall(st.Conn.get(), args, 0, st.names.conn_fields.get()));
}

}  // namespace

Ref materialize(State& st, NativeIr& ir, PyVector<Ref>* subckts) {
    Ref ir_map = kv::new_dict();
    Ref comments = kv::new_dict();
    if (subckts) subckts->assign(ir.blocks.size(), Ref());

    // IR map order: an element when its line is read, a block at its .ends.
    size_t next_element = 0;
    auto add_elements_before = [&](size_t end) {
        for (; next_element < end; ++next_element) {
            const NativeElement& e = ir.elements[next_element];
            Ref id = int_of(e.id);
            Ref record = conn_record(st, ir, e, id.get());
            kv::dict_set(ir_map.get(), id.get(), record.get());
        }
    };
    for (size_t index = 0; index < ir.blocks.size(); ++index) {
        const NativeBlock& b = ir.blocks[index];
        add_elements_before(b.elements_before);
        Ref children = kv::own(PyTuple_New(static_cast<Py_ssize_t>(b.children.size())));
        for (size_t i = 0; i < b.children.size(); ++i)
            PyTuple_SET_ITEM(children.get(), static_cast<Py_ssize_t>(i),
                             int_of(ir.elements[b.children[i]].id).release());
        Ref id = int_of(b.id);
        Ref record = subckt_record(st, ir, b, id.get(), children.get());
        kv::dict_set(ir_map.get(), id.get(), record.get());
        if (subckts) (*subckts)[index] = std::move(record);
    }
    add_elements_before(ir.elements.size());
    for (const auto& [id, comment] : ir.comments) {
        Ref key = int_of(id);
        Ref text = kv::text(comment);
        kv::dict_set(comments.get(), key.get(), text.get());
    }
    return kv::tuple_of({ir_map.get(), comments.get()});
}

}  // namespace spicenet
