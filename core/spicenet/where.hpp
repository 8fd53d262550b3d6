// Where an import was when an error ended it: the position (among the
// relevant lines, from 1) of the statement being read or assembled, of the
// innermost open block, and, for a net of three or more pins, of the
// elements on it. Nothing is kept while things go well: the code that reads
// or assembles catches the error on its way out, tells the record what it
// was at and lets the error go on; the import's entry turns the record into
// the error's note (import_note.hpp).
//
// A record is about one exception object: told of another one, it starts
// over. What a module function called from the import's own callers (a
// replaced function calling the original) recorded is the best guess only
// until code of the import itself says where it was.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "ref.hpp"

namespace spicenet {

using kv::Ref;

class Where {
  public:
    // The elements on one net, in the order of their pins: the first few
    // positions (a position repeated at once counted once) and how many.
    struct Pins {
        static constexpr size_t kShown = 8;
        Py_ssize_t shown[kShown] = {};
        size_t count = 0;
        Py_ssize_t last = 0;
        void add(Py_ssize_t position) {
            if (count > 0 && last == position) return;
            last = position;
            if (count < kShown) shown[count] = position;
            ++count;
        }
    };

    // Whether an import is running: only then is anything recorded.
    bool importing() const { return importing_; }

    // In a catch block, for the error on its way out (each fills what is not
    // known yet; a position of 0 is unknown). The statement being handled and
    // the innermost open block:
    void at(Py_ssize_t statement, Py_ssize_t block) noexcept;
    // The same with positions as the int objects of an IR map (anything else
    // is unknown); reading them runs no code.
    void at_objects(PyObject* statement, PyObject* block) noexcept;
    // The statement's text, for when the lines cannot be read again.
    void statement_text(std::string_view text) noexcept;
    void statement_text(PyObject* text) noexcept;
    // The name of the innermost open block, likewise.
    void block_name(PyObject* name) noexcept;
    void pins(const Pins& pins) noexcept;
    // At the way out of a module function that reads or assembles, called by
    // code of a running import: what it recorded is a guess from now on.
    void nested() noexcept;

    // What was recorded for `error` (the record is reset when it is about
    // another error).
    bool about(PyObject* error) const { return error_.is(error); }
    Py_ssize_t statement() const { return statement_; }
    Py_ssize_t block() const { return block_; }
    PyObject* statement_text() const { return text_.get(); }
    PyObject* block_name() const { return block_name_.get(); }
    const Pins& pins() const { return pins_; }

    // A position read from an IR key: an exact int from 1 (0 for anything else).
    static Py_ssize_t position_of(PyObject* id) noexcept;

    // Runs `fn` (which may run any code, and throw) with the error being
    // raised put aside, and puts it back after; an error of `fn` is dropped.
    template <class F>
    static void aside(F&& fn) noexcept {
        PyObject* raised = PyErr_GetRaisedException();
        try {
            fn();
        } catch (...) {
        }
        if (PyErr_Occurred()) PyErr_Clear();
        PyErr_SetRaisedException(raised);
    }

  private:
    friend class ImportScope;
    // Takes the record for the error being raised; false when none is set
    // or no import is running.
    bool claim() noexcept;
    void reset() noexcept;

    bool importing_ = false;
    bool guess_ = false;  // recorded by a nested module function
    Ref error_;
    Py_ssize_t statement_ = 0, block_ = 0;
    Ref text_, block_name_;
    Pins pins_;
};

// Opens the record of one import for the time it runs, and gives back the
// record of the import around it (a collaborator may import another netlist)
// when it ends. Small on the stack: an import re-entered through a stream's
// read piles up one per level; the record around it is moved aside only when
// it holds something.
class ImportScope {
  public:
    explicit ImportScope(Where& where);
    ~ImportScope();
    ImportScope(const ImportScope&) = delete;
    ImportScope& operator=(const ImportScope&) = delete;

  private:
    Where& where_;
    std::unique_ptr<Where> outer_;
    bool outer_importing_;
};

// Runs `body` (a module function that reads or assembles) and marks what it
// recorded as a guess when an error ends it.
template <class F>
Ref nested_call(Where& where, F&& body) {
    try {
        return body();
    } catch (const kv::PyErrorSet&) {
        where.nested();
        throw;
    }
}

}  // namespace spicenet
