// The note of an error that ended an import (see import_note.hpp). Made only
// then: the content is read once more, up to the last position the note
// names, with the counting line reader.
#include "import_note.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "line_reader.hpp"
#include "statement.hpp"
#include "text_unicode.hpp"

namespace spicenet {

namespace {

constexpr Py_ssize_t kTextShown = 100;  // characters of a statement's text

// A relevant line the note names, as found when the content is read again.
struct Located {
    Py_ssize_t position = 0;
    bool found = false;
    size_t first = 0, last = 0;  // physical lines
    std::string text;
};

// Reads `content` again, up to the last position asked for.
void locate(std::string_view content, std::vector<Located*>& wanted) {
    Py_ssize_t last = 0;
    for (const Located* l : wanted) last = std::max(last, l->position);
    CountingLineReader reader(content);
    std::string_view line;
    for (Py_ssize_t position = 1; position <= last && reader.next(line); ++position)
        for (Located* l : wanted)
            if (l->position == position) {
                l->found = true;
                l->first = reader.first_line();
                l->last = reader.last_line();
                l->text.assign(line);
            }
}

void append_utf8(std::string& out, PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (!data) kv::raise_set();
    out.append(data, static_cast<size_t>(size));
}

// repr() of a text as an exact str, cut to about kTextShown characters.
void append_quoted(std::string& out, PyObject* text) {
    Ref str = kv::own(PyUnicode_FromObject(text));
    if (PyUnicode_GET_LENGTH(str.get()) > kTextShown) {
        Ref head = kv::own(PyUnicode_Substring(str.get(), 0, kTextShown - 3));
        str = kv::own(PyUnicode_FromFormat("%U...", head.get()));
    }
    append_utf8(out, kv::own(PyObject_Repr(str.get())).get());
}

// The path as given, else the stream's `name` when it is a text, else <stream>.
void append_source(std::string& out, PyObject* path_or_buf) {
    if (PyUnicode_Check(path_or_buf)) return append_quoted(out, path_or_buf);
    if (Ref path = Ref::steal(PyOS_FSPath(path_or_buf))) {
        return append_utf8(out, kv::own(PyObject_Repr(path.get())).get());
    }
    PyErr_Clear();
    PyObject* name = nullptr;
    if (PyObject_GetOptionalAttrString(path_or_buf, "name", &name) < 0) PyErr_Clear();
    Ref held = Ref::steal(name);
    if (held && PyUnicode_Check(held.get())) return append_quoted(out, held.get());
    out += "<stream>";
}

// "line 7", "lines 7-9" (`first_only`: "line 7"), or the position among the
// relevant lines when the content does not say.
void append_place(std::string& out, const Located& l, bool first_only = false) {
    if (!l.found) {
        out += "relevant line " + std::to_string(l.position);
    } else if (first_only || l.first == l.last) {
        out += "line " + std::to_string(l.first);
    } else {
        out += "lines " + std::to_string(l.first) + "-" + std::to_string(l.last);
    }
}

// The block's name as its .subckt statement gives it.
bool block_name_of(const Located& block, std::string& name) {
    if (!block.found) return false;
    Statement statement;
    split_statement(block.text, statement);
    if (statement.words.size() < 2 || statement.words[0] != ".subckt") return false;
    name.assign(statement.words[1]);
    return true;
}

// "lines 3, 5 and 9", "lines 3, 5, ..., 12 and 4 more" (first lines of the
// elements), or relevant lines when the content does not say them all.
void append_pins(std::string& out, const Where::Pins& pins, const std::vector<Located>& located) {
    const size_t shown = std::min(pins.count, Where::Pins::kShown);
    const bool found = std::all_of(located.begin(), located.end(), [](const Located& l) { return l.found; });
    out += found ? "line" : "relevant line";
    if (pins.count > 1) out += "s";
    for (size_t i = 0; i < shown; ++i) {
        out += i == 0 ? " " : i + 1 == shown && pins.count == shown ? " and " : ", ";
        out += std::to_string(found ? located[i].first : static_cast<size_t>(located[i].position));
    }
    if (pins.count > shown) out += " and " + std::to_string(pins.count - shown) + " more";
}

std::string describe(State& st, PyObject* path_or_buf, PyObject* content, PyObject* error) {
    std::string out = "while importing ";
    append_source(out, path_or_buf);
    const Where& where = st.where;
    if (!where.about(error)) return out;

    Located statement{where.statement()}, block{where.block()};
    std::vector<Located> pins(std::min(where.pins().count, Where::Pins::kShown));
    for (size_t i = 0; i < pins.size(); ++i) pins[i].position = where.pins().shown[i];
    if (content && (PyUnicode_Check(content) || PyBytes_Check(content))) {
        std::vector<Located*> wanted;
        if (statement.position) wanted.push_back(&statement);
        if (block.position) wanted.push_back(&block);
        for (Located& l : pins) wanted.push_back(&l);
        text::Utf8 u;
        if (PyUnicode_Check(content)) u = text::Utf8(content);
        else u.view = {PyBytes_AS_STRING(content), static_cast<size_t>(PyBytes_GET_SIZE(content))};
        locate(u.view, wanted);
    }

    if (statement.position) {
        out += ", ";
        append_place(out, statement);
        if (statement.found || where.statement_text()) {
            out += " (statement ";
            if (statement.found) append_quoted(out, kv::text(statement.text).get());
            else append_quoted(out, where.statement_text());
            out += ")";
        }
    }
    if (block.position) {
        std::string name;
        if (block_name_of(block, name)) {
            out += ", in .subckt ";
            append_quoted(out, kv::text(name).get());
        } else if (where.block_name()) {
            out += ", in .subckt ";
            append_quoted(out, where.block_name());
        } else {
            out += ", in the .subckt";
        }
        out += " from ";
        append_place(out, block, true);
    }
    if (!pins.empty()) {
        out += "; the net's pins are on ";
        append_pins(out, where.pins(), pins);
    }
    return out;
}

}  // namespace

void note_import_error(State& st, PyObject* path_or_buf, PyObject* content) noexcept {
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised) return;
    try {
        const std::string text = describe(st, path_or_buf, content, raised);
        Ref note = kv::text(text);
        Ref added = kv::own(PyObject_CallMethod(raised, "add_note", "O", note.get()));
    } catch (...) {
        // No note then; the error itself is what matters.
    }
    if (PyErr_Occurred()) PyErr_Clear();
    PyErr_SetRaisedException(raised);
}

}  // namespace spicenet
