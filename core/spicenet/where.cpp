// The record of where an import was when an error ended it (see where.hpp).
// Everything here runs in catch blocks while the error is set: nothing may
// throw, nothing may replace or clear the error.
#include "where.hpp"

namespace spicenet {

bool Where::claim() noexcept {
    if (!importing_) return false;
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised) return false;
    if (!error_.is(raised)) {
        reset();
        error_ = Ref::borrow(raised);
    }
    PyErr_SetRaisedException(raised);
    return true;
}

void Where::reset() noexcept {
    guess_ = false;
    statement_ = block_ = 0;
    text_.reset();
    block_name_.reset();
    pins_ = Pins();
}

void Where::at(Py_ssize_t statement, Py_ssize_t block) noexcept {
    if (!claim()) return;
    if (guess_) {
        // The import's own code knows better, unless all it knows is the
        // block the guess is in.
        if (statement != 0 || block != block_) {
            Ref error = std::move(error_);
            reset();
            error_ = std::move(error);
        }
        guess_ = false;
    }
    if (!statement_) statement_ = statement;
    if (!block_) block_ = block;
}

void Where::at_objects(PyObject* statement, PyObject* block) noexcept {
    at(position_of(statement), position_of(block));
}

Py_ssize_t Where::position_of(PyObject* id) noexcept {
    if (!id || !PyLong_CheckExact(id)) return 0;
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(id, &overflow);
    return overflow || value <= 0 ? 0 : static_cast<Py_ssize_t>(value);
}

void Where::statement_text(std::string_view text) noexcept {
    if (!claim() || text_) return;
    aside([&] {
        text_ = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
    });
}

void Where::statement_text(PyObject* text) noexcept {
    if (!claim() || text_ || !text || !PyUnicode_Check(text)) return;
    text_ = Ref::borrow(text);
}

void Where::block_name(PyObject* name) noexcept {
    if (!claim() || block_name_ || !name || !PyUnicode_Check(name)) return;
    block_name_ = Ref::borrow(name);
}

void Where::pins(const Pins& pins) noexcept {
    if (!claim() || pins_.count) return;
    pins_ = pins;
}

void Where::nested() noexcept {
    if (claim() && (statement_ || block_ || pins_.count)) guess_ = true;
}

ImportScope::ImportScope(Where& where) : where_(where), outer_importing_(where.importing_) {
    if (where_.error_) {
        outer_ = std::make_unique<Where>(std::move(where_));
        where_ = Where();
    }
    where_.importing_ = true;
}

ImportScope::~ImportScope() {
    if (outer_) {
        where_ = std::move(*outer_);
    } else {
        where_.reset();
        where_.error_.reset();
        where_.importing_ = outer_importing_;
    }
}

}  // namespace spicenet
