// The IR through the module globals, as Python records (see record_ir.hpp).
#include "record_ir.hpp"

#include "unpack.hpp"
#include "values.hpp"

namespace spicenet {

namespace {

bool truthy(PyObject* obj) { return kv::ok(PyObject_IsTrue(obj)); }

bool equals(PyObject* obj, const char* ascii) {
    Ref text = kv::text(ascii);
    return kv::ok(PyObject_RichCompareBool(obj, text.get(), Py_EQ));
}

bool starts_with(PyObject* obj, const char* prefix) {
    Ref text = kv::text(prefix);
    Ref result = kv::call_method(obj, "startswith", {text.get()});
    return truthy(result.get());
}

// `component_map.get(name, name)`
Ref mapped(PyObject* component_map, PyObject* name) {
    Ref to = kv::dict_get(component_map, name);
    return to ? to : Ref::borrow(name);
}

// `parents[-1]`: the list is the one `_get_parent_id` is handed, which a
// replaced function may keep and change at any later call.
Ref innermost(PyObject* parents) {
    const Py_ssize_t n = PyList_GET_SIZE(parents);
    if (n == 0) kv::raise(PyExc_IndexError, "list index out of range");
    return Ref::borrow(PyList_GET_ITEM(parents, n - 1));
}

}  // namespace

void RecordIr::at(Py_ssize_t index) {
    if (index == index_) return;
    index_ = index;
    id_.reset();
}

PyObject* RecordIr::id() {
    if (!id_) id_ = kv::own(PyLong_FromSsize_t(index_));
    return id_.get();
}

void RecordIr::line(Py_ssize_t index, PyObject* line) {
    at(index);
    Ref split = st_.current(fn_split_comments);
    Ref parts = kv::unpack_exactly(kv::call(split.get(), {line}).get(), 2);
    Ref code = Ref::borrow(PyList_GET_ITEM(parts.get(), 0));
    Ref comment = Ref::borrow(PyList_GET_ITEM(parts.get(), 1));
    if (truthy(comment.get())) kv::dict_set(comments_.get(), id(), comment.get());
    if (!truthy(code.get())) return;

    Ref chain = st_.current(fn_chain);
    Ref split_words = st_.current(fn_split_words);
    Ref filter_empty = st_.current(fn_filter_empty);
    Ref pipeline = kv::call(chain.get(), {split_words.get(), filter_empty.get()});
    words_ = kv::own(PySequence_List(kv::call(pipeline.get(), {code.get()}).get()));
    count_ = PyList_GET_SIZE(words_.get());
    if (count_ == 0) return;
    first_ = Ref::borrow(PyList_GET_ITEM(words_.get(), 0));
    if (starts_with(first_.get(), ".")) return line_rules::command(st_, *this);
    if (!any_open()) return;
    element();
}

// --- commands -------------------------------------------------------------------

bool RecordIr::is_command(const char* text) const { return equals(first_.get(), text); }

void RecordIr::open_block() {
    Ref name = Ref::borrow(PyList_GET_ITEM(words_.get(), 1));
    Ref rest = kv::own(PyList_GetSlice(words_.get(), 2, count_));
    Ref component = mapped(component_map_, name.get());
    Ref ports = kv::call(st_.current(fn_get_ir_ports).get(), {rest.get()});
    Ref settings = kv::call(st_.current(fn_get_ir_settings).get(), {rest.get()}, kwargs_);
    open_block(index_, name.get(), component.get(), ports.get(), settings.get());
}

void RecordIr::open_block(Py_ssize_t index, PyObject* name, PyObject* component, PyObject* ports,
                          PyObject* settings) {
    at(index);
    Ref parent_id = kv::call(st_.current(fn_get_parent_id).get(), {parents_.get()});
    Ref type = kv::global(st_.module, st_.names.Subckt.get());
    Ref no_children = kv::own(PyTuple_New(0));
    PyObject* args[] = {id(), component, ports, settings, parent_id.get(), no_children.get()};
    Ref record = kv::own(PyObject_Vectorcall(type.get(), args, 0, st_.names.subckt_fields.get()));
    kv::list_append(parents_.get(), record.get());
    blocks_.push_back({Ref::borrow(name), {}, index});
}

// After `any_open()`, with nothing run in between.
void RecordIr::close_block() {
    const Py_ssize_t n = PyList_GET_SIZE(parents_.get());
    Ref record = Ref::borrow(PyList_GET_ITEM(parents_.get(), n - 1));
    kv::ok(PyList_SetSlice(parents_.get(), n - 1, n, nullptr));
    std::vector<Ref> children;
    if (!blocks_.empty()) {
        children = std::move(blocks_.back().children);
        blocks_.pop_back();
    }
    Ref id = kv::attr(record.get(), st_.names.id.get());
    kv::dict_set(ir_.get(), id.get(), record.get());
    Ref ids = kv::own(PyTuple_New(static_cast<Py_ssize_t>(children.size())));
    for (size_t i = 0; i < children.size(); ++i)
        PyTuple_SET_ITEM(ids.get(), static_cast<Py_ssize_t>(i), children[i].release());
    kv::ok(PyObject_SetAttr(record.get(), st_.names.children_ids.get(), ids.get()));
}

// --- element lines ----------------------------------------------------------------

bool RecordIr::name_starts_with(char c) const {
    const char prefix[] = {c, '\0'};
    return starts_with(first_.get(), prefix);
}

Ref RecordIr::last_node() {
    Ref last = kv::own(PyLong_FromLong(-1));
    Ref component = kv::own(PyObject_GetItem(ports_.get(), last.get()));
    Ref all_but_last = kv::own(PySlice_New(nullptr, last.get(), nullptr));
    ports_ = kv::own(PyObject_GetItem(ports_.get(), all_but_last.get()));
    return component;
}

void RecordIr::element() {
    Ref rest = kv::own(PyList_GetSlice(words_.get(), 1, count_));
    rest = kv::call(st_.current(fn_handle_sources).get(), {rest.get()});
    ports_ = kv::call(st_.current(fn_get_ir_ports).get(), {rest.get()});
    Ref component = line_rules::component(*this);
    Ref parent = innermost(parents_.get());
    Ref parent_settings = kv::attr(parent.get(), st_.names.settings.get());
    const Named named(kwargs_, parent_settings.get());
    PyObject* named_values = named.dict();
    Ref mapped_component = mapped(component_map_, component.get());
    Ref settings = kv::call(st_.current(fn_get_ir_settings).get(), {rest.get()}, named_values);
    Ref parent_id = kv::attr(parent.get(), st_.names.id.get());
    add_element(index_, first_.get(), mapped_component.get(), ports_.get(), settings.get(), parent_id.get());
}

void RecordIr::add_element(Py_ssize_t index, PyObject* name, PyObject* component, PyObject* ports,
                           PyObject* settings, PyObject* parent_id) {
    at(index);
    Ref type = kv::global(st_.module, st_.names.Conn.get());
    PyObject* args[] = {id(), name, component, ports, settings, parent_id};
    Ref record = kv::own(PyObject_Vectorcall(type.get(), args, 0, st_.names.conn_fields.get()));
    if (!blocks_.empty()) blocks_.back().children.push_back(Ref::borrow(id()));
    kv::dict_set(ir_.get(), id(), record.get());
}

// --- hand-over and end ----------------------------------------------------------------

void RecordIr::push_open(Ref record, Ref name, std::vector<Ref> children, Py_ssize_t id) {
    kv::list_append(parents_.get(), record.get());
    blocks_.push_back({std::move(name), std::move(children), id});
}

Ref RecordIr::finish() {
    line_rules::warn_unclosed(st_, blocks_, [](const OpenBlock& block) { return block.name; });
    return kv::tuple_of({ir_.get(), comments_.get()});
}

}  // namespace spicenet
