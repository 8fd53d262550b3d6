// The lazy streams of line preparation (see line_streams.hpp): the stage
// steps, each taking the next item of its source and giving the next value
// of its stage, and the generator protocol around them. A str item is
// worked on as UTF-8; any other item gets the str operation the stage names
// (strip, startswith, re.sub, +), as the runtime would apply it. A stream is
// fresh, suspended between requests, running while a step runs (or while a
// lease holds it), and done once it ended, failed, was thrown into or
// closed. Streams over streams recurse in the pull and are freed through the
// trashcan (nesting.hpp).
#include "line_streams.hpp"

#include "args.hpp"
#include "boxed.hpp"
#include "line_reader.hpp"
#include "nesting.hpp"
#include "objects.hpp"
#include "statement.hpp"
#include "text_unicode.hpp"

namespace spicenet {

using text::Utf8;

namespace {

enum class Status : uint8_t { Fresh, Suspended, Running, Done };

// Like a generator function, a stream takes the iterator of its source at
// the first request and drops its references when it finishes.
struct Stream {
    Stage stage;
    Status status = Status::Fresh;
    Ref source;
    Ref iter;
    Ref pending;      // the statement being folded (Join)
    bool drained = false;
    text::Utf8 text;  // the str split into words, or the content (Words, Relevant)
    size_t pos = 0;   // next word (Words)
    std::optional<LineReader> reader;  // (Relevant)

    Stream(Stage s, PyObject* src) : stage(s), source(Ref::borrow(src)) {}

    int traverse(visitproc fn, void* arg) {
        if (int r = kv::visit_ref(source, fn, arg)) return r;
        if (int r = kv::visit_ref(iter, fn, arg)) return r;
        if (int r = kv::visit_ref(pending, fn, arg)) return r;
        return kv::visit_ref(text.holder, fn, arg);
    }
    // Ends the stream. Dropping the references may run any code, which then
    // finds the stream finished; the caller holds a reference to it.
    void clear() {
        status = Status::Done;
        reader.reset();
        text.view = {};
        source.reset();
        iter.reset();
        pending.reset();
        text.holder.reset();
    }
};

Stream& stream_of(PyObject* obj) { return kv::unbox<Stream>(obj); }

Ref make_stream(State& st, Stream&& value) {
    return kv::box(reinterpret_cast<PyTypeObject*>(st.stream_type.get()), std::move(value));
}

// --- stage steps -------------------------------------------------------------------

// The next item of the stream's source, its iterator taken at the first
// request; empty at its end. A stream over a stream recurses here, so the
// pull counts as a call of the runtime. Source and iterator are held for
// the call, whatever the code it runs does to the stream.
Ref pull(Stream& s) {
    if (!s.iter) {
        const Ref source = s.source;
        s.iter = kv::own(PyObject_GetIter(source.get()));
    }
    const Ref iter = s.iter;
    RecursionGuard guard("");
    Ref item = Ref::steal(PyIter_Next(iter.get()));
    if (!item && PyErr_Occurred()) kv::raise_set();
    return item;
}

Ref strip_item(PyObject* item) {
    if (!PyUnicode_Check(item)) return kv::call_method(item, "strip");
    Utf8 u(item);
    std::string_view stripped = text::strip(u.view);
    if (stripped.size() == u.view.size() && PyUnicode_CheckExact(item)) return Ref::borrow(item);
    return kv::text(stripped);
}

bool starts_with_plus(PyObject* item) {
    if (PyUnicode_Check(item)) return PyUnicode_GET_LENGTH(item) > 0 && PyUnicode_READ_CHAR(item, 0) == '+';
    Ref plus = kv::text("+");
    Ref result = kv::call_method(item, "startswith", {plus.get()});
    return kv::ok(PyObject_IsTrue(result.get()));
}

// statement + " " + line[1:].strip()
Ref fold(PyObject* statement, PyObject* line) {
    if (PyUnicode_Check(statement) && PyUnicode_Check(line)) {
        Utf8 a(statement), b(line);
        std::string joined(a.view);
        joined.push_back(' ');
        joined.append(text::strip(b.view.substr(1)));
        return kv::text(joined);
    }
    Ref space = kv::text(" ");
    Ref rest = kv::own(PySequence_GetSlice(line, 1, PY_SSIZE_T_MAX));
    Ref rest_stripped = kv::call_method(rest.get(), "strip");
    Ref head = kv::own(PyNumber_Add(statement, space.get()));
    return kv::own(PyNumber_Add(head.get(), rest_stripped.get()));
}

// Every white-space run replaced by one space (ends included).
Ref collapse_item(State& st, PyObject* item) {
    if (!PyUnicode_Check(item)) {
        Ref re = kv::global(st.module, "re");
        Ref pattern = kv::text("\\s+"), space = kv::text(" ");
        return kv::call_method(re.get(), "sub", {pattern.get(), space.get(), item});
    }
    Utf8 u(item);
    std::string out;
    text::append_standard(u.view, out, true);
    if (out == u.view && PyUnicode_CheckExact(item)) return Ref::borrow(item);
    return kv::text(out);
}

// A line starting with "+" continues the statement before it; a statement
// is given when the line after it is not a continuation, or at the end.
Ref join_step(Stream& s) {
    if (s.drained) return {};
    Ref statement = std::move(s.pending);
    if (!statement && !(statement = pull(s))) {
        s.drained = true;
        return {};
    }
    while (Ref item = pull(s)) {
        if (!starts_with_plus(item.get())) {
            s.pending = std::move(item);
            return statement;
        }
        statement = fold(statement.get(), item.get());
    }
    s.drained = true;
    return statement;
}

// The next value of the stream's stage; an empty Ref at its end.
Ref advance(State& st, Stream& s) {
    switch (s.stage) {
        case Stage::Strip:
        case Stage::Standardize: {
            Ref item = pull(s);
            if (!item) return {};
            return s.stage == Stage::Strip ? strip_item(item.get()) : collapse_item(st, item.get());
        }
        case Stage::FilterEmpty:
            while (Ref item = pull(s))
                if (kv::ok(PyObject_IsTrue(item.get()))) return item;
            return {};
        case Stage::Join: return join_step(s);
        case Stage::Words: {
            std::string_view word;
            return next_word(s.text.view, s.pos, word) ? kv::text(word) : Ref();
        }
        case Stage::Relevant: {
            std::string_view line;
            return s.reader->next(line) ? kv::text(line) : Ref();
        }
    }
    return {};
}

}  // namespace

Ref stage_stream(State& st, Stage stage, PyObject* lines) { return make_stream(st, Stream(stage, lines)); }

Ref word_stream(State& st, PyObject* line) {
    Stream s(Stage::Words, line);
    s.text = Utf8(line);
    return make_stream(st, std::move(s));
}

// --- relevant lines ------------------------------------------------------------

static bool stages_own(State& st) {
    return st.own(fn_chain) && st.own(fn_strip_lines) && st.own(fn_join_continuations) &&
           st.own(fn_standardize_spaces) && st.own(fn_filter_empty);
}

bool relevant_lines_own(State& st) { return st.own(fn_iter_relevant_lines) && stages_own(st); }

Ref iter_relevant_lines(State& st, PyObject* content) {
    kv::check_type("content", content, kv::Type::Str, false);
    if (stages_own(st)) {
        Utf8 u(content);
        Ref stream = make_stream(st, Stream(Stage::Relevant, content));
        // The reader keeps views into the stream: it is built in place, never moved.
        Stream& s = stream_of(stream.get());
        s.text = std::move(u);
        s.reader.emplace(s.text.view);
        return stream;
    }
    Ref lines = kv::own(PyUnicode_Splitlines(content, 0));
    Ref chain = st.current(fn_chain);
    Ref strip = st.current(fn_strip_lines);
    Ref join = st.current(fn_join_continuations);
    Ref standardize = st.current(fn_standardize_spaces);
    Ref strip_again = st.current(fn_strip_lines);
    Ref filter = st.current(fn_filter_empty);
    Ref pipeline =
        kv::call(chain.get(), {strip.get(), join.get(), standardize.get(), strip_again.get(), filter.get()});
    return kv::call(pipeline.get(), {lines.get()});
}

// --- generator protocol ---------------------------------------------------------------

const char* stage_name(Stage stage) {
    static constexpr const char* kNames[] = {"_strip_lines",  "_join_continuations", "_standardize_spaces",
                                             "_filter_empty", "_split_words",        "_iter_relevant_lines"};
    return kNames[static_cast<size_t>(stage)];
}

namespace {

PyObject* already_executing() {
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return nullptr;
}

// The error that ends a step, as a generator's body would let it out: a
// StopIteration becomes "generator raised StopIteration", chained to it.
void set_step_error(Ref error) {
    if (error && PyErr_GivenExceptionMatches(error.get(), PyExc_StopIteration)) {
        PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
        Ref outer = Ref::steal(PyErr_GetRaisedException());
        PyException_SetCause(outer.get(), Ref(error).release());
        PyException_SetContext(outer.get(), error.release());
        error = std::move(outer);
    }
    if (error) PyErr_SetRaisedException(error.release());
}

PyObject* stream_next(PyObject* self) {
    Stream& s = stream_of(self);
    if (s.status == Status::Running) return already_executing();
    if (s.status == Status::Done) return nullptr;
    // The step may run any code, which may drop every other reference to
    // the stream: it stays alive until the step is over.
    const Ref keep = Ref::borrow(self);
    s.status = Status::Running;
    PyObject* result = kv::entry([&] { return advance(state(), s); });
    if (result) {
        s.status = Status::Suspended;
        return result;
    }
    // Ended or failed: the references go (which may run code) while the
    // error is put aside.
    Ref error = Ref::steal(PyErr_GetRaisedException());
    s.clear();
    set_step_error(std::move(error));
    return nullptr;
}

PyObject* stream_send(PyObject* self, PyObject* value) {
    Stream& s = stream_of(self);
    if (s.status == Status::Fresh && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject* result = stream_next(self);
    if (!result && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return result;
}

// The exception `throw` raises, from its arguments (as a generator checks them).
void set_thrown(PyObject* type, PyObject* value, PyObject* traceback) {
    if (PyExceptionInstance_Check(type)) {
        if (value != Py_None) kv::raise(PyExc_TypeError, "instance exception may not have a separate value");
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(type)), type);
    } else if (PyExceptionClass_Check(type)) {
        PyErr_SetObject(type, value);
    } else {
        kv::raise(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %.200s",
                  kv::type_name(type));
    }
    if (traceback != Py_None) {
        Ref error = Ref::steal(PyErr_GetRaisedException());
        if (error) kv::ok(PyException_SetTraceback(error.get(), traceback));
        PyErr_SetRaisedException(error.release());
    }
}

// Raising inside the stream ends it: no stage catches anything.
PyObject* stream_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return kv::entry([&]() -> Ref {
        if (nargs < 1 || nargs > 3) kv::raise_arg_count("throw", false, 1, 3, nargs);
        Stream& s = stream_of(self);
        if (s.status == Status::Running) kv::raise(PyExc_ValueError, "generator already executing");
        PyObject* traceback = nargs > 2 ? args[2] : Py_None;
        if (traceback != Py_None && !PyTraceBack_Check(traceback))
            kv::raise(PyExc_TypeError, "throw() third argument must be a traceback object");
        s.clear();
        set_thrown(args[0], nargs > 1 ? args[1] : Py_None, traceback);
        kv::raise_set();
    });
}

PyObject* stream_close(PyObject* self, PyObject*) {
    Stream& s = stream_of(self);
    if (s.status == Status::Running) return already_executing();
    s.clear();
    Py_RETURN_NONE;
}

PyObject* stream_repr(PyObject* self) {
    return PyUnicode_FromFormat("<generator object %s at %p>", stage_name(stream_of(self).stage), self);
}

PyMethodDef stream_methods[] = {
    {"send", stream_send, METH_O, "send(value) -> next value, or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(stream_throw)), METH_FASTCALL,
     "throw(value) -> raise the exception inside the generator, which ends it."},
    {"close", stream_close, METH_NOARGS, "close() -> end the generator."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot stream_slots[] = {
    SPICENET_NESTED_SLOTS(Stream),
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(stream_next)},
    {Py_tp_methods, stream_methods},
    {Py_tp_repr, reinterpret_cast<void*>(stream_repr)},
    {0, nullptr}};

PyType_Spec stream_spec = {
    "korvane.core.spicenet.generator", sizeof(kv::Boxed<Stream>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    stream_slots};

}  // namespace

Ref make_stream_type(State& st) {
    Ref type = kv::own(PyType_FromModuleAndSpec(st.module, &stream_spec, nullptr));
    // Consumers that test for generators by protocol see the streams as such.
    Ref abc = kv::import("collections.abc");
    Ref generator = kv::attr(abc.get(), "Generator");
    (void)kv::call_method(generator.get(), "register", {type.get()});
    return type;
}

// --- leases on relevant-line streams ---------------------------------------------

std::optional<StreamLease> StreamLease::take(State& st, PyObject* lines) {
    if (Py_TYPE(lines) != reinterpret_cast<PyTypeObject*>(st.stream_type.get())) return std::nullopt;
    Stream& s = stream_of(lines);
    if (s.stage != Stage::Relevant || s.status == Status::Running || s.status == Status::Done) return std::nullopt;
    return StreamLease(lines, s.text.holder, s.text.view);
}

bool StreamLease::next(std::string_view& line) {
    Stream& s = stream_of(stream_.get());
    if (s.status == Status::Done) return false;
    if (!s.reader->next(line)) {
        s.clear();
        return false;
    }
    s.status = Status::Suspended;
    // A folded or collapsed line lives in the reader, which the stream's
    // next (or its end) may overwrite before the caller is done with it.
    const auto at = reinterpret_cast<uintptr_t>(line.data()), begin = reinterpret_cast<uintptr_t>(bytes_.data());
    if (at < begin || at + line.size() > begin + bytes_.size()) {
        line_.assign(line);
        line = line_;
    }
    return true;
}

}  // namespace spicenet
