// The module functions of line preparation: each checks and converts its
// arguments and calls the implementation in text/ (lines.hpp).
#include "lines.hpp"

#include "args.hpp"
#include "bound.hpp"
#include "objects.hpp"

namespace spicenet {

namespace {

template <Stage stage>
PyObject* py_stage(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bound_call(args, nargs, kwnames, stage_name(stage), {kv::req("lines")},
                      [](const kv::Args& a) { return stage_stream(state(), stage, a[0]); });
}

PyObject* py_split_words(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bound_call(args, nargs, kwnames, "_split_words", {kv::req("line", kv::Type::Str)},
                      [](const kv::Args& a) { return word_stream(state(), a[0]); });
}

PyObject* py_split_comments(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bound_call(args, nargs, kwnames, "_split_comments", {kv::req("line", kv::Type::Str)},
                      [](const kv::Args& a) { return split_comments(a[0]); });
}

PyObject* py_iter_relevant_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bound_call(args, nargs, kwnames, "_iter_relevant_lines", {kv::req("content", kv::Type::Str)},
                      [](const kv::Args& a) { return iter_relevant_lines(state(), a[0]); });
}

PyObject* py_chain(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kv::entry([&] {
        if (kwnames && PyTuple_GET_SIZE(kwnames) > 0)
            kv::raise(PyExc_TypeError, "_chain() got an unexpected keyword argument '%U'", PyTuple_GET_ITEM(kwnames, 0));
        return chain_of(state(), args, PyVectorcall_NARGS(nargs));
    });
}

PyMethodDef def_chain = {
    "_chain", kv::fastcall<py_chain>(), METH_FASTCALL | METH_KEYWORDS,
    "_chain($module, *funcs)\n--\n\n"
    "A one-argument function passing its argument through funcs, first to last."};
PyMethodDef def_iter_relevant_lines = {
    "_iter_relevant_lines", kv::fastcall<py_iter_relevant_lines>(), METH_FASTCALL | METH_KEYWORDS,
    "_iter_relevant_lines($module, content)\n--\n\n"
    "Lazy stream of the relevant lines of a netlist text: trimmed, continuation\n"
    "lines folded, white space collapsed, empty lines dropped."};
PyMethodDef def_strip_lines = {
    "_strip_lines", kv::fastcall<py_stage<Stage::Strip>>(), METH_FASTCALL | METH_KEYWORDS,
    "_strip_lines($module, lines)\n--\n\nYield each line without white space at either end."};
PyMethodDef def_join_continuations = {
    "_join_continuations", kv::fastcall<py_stage<Stage::Join>>(), METH_FASTCALL | METH_KEYWORDS,
    "_join_continuations($module, lines)\n--\n\n"
    "Yield statements: a line starting with \"+\" continues the statement before it."};
PyMethodDef def_standardize_spaces = {
    "_standardize_spaces", kv::fastcall<py_stage<Stage::Standardize>>(), METH_FASTCALL | METH_KEYWORDS,
    "_standardize_spaces($module, lines)\n--\n\nYield each line with white-space runs replaced by one space."};
PyMethodDef def_filter_empty = {
    "_filter_empty", kv::fastcall<py_stage<Stage::FilterEmpty>>(), METH_FASTCALL | METH_KEYWORDS,
    "_filter_empty($module, lines)\n--\n\nYield the items that are not empty."};
PyMethodDef def_split_comments = {
    "_split_comments", kv::fastcall<py_split_comments>(), METH_FASTCALL | METH_KEYWORDS,
    "_split_comments($module, line)\n--\n\n"
    "Split a line into (code, comment); the comment starts at the first \"$\",\n"
    "else at the first \"*\"."};
PyMethodDef def_split_words = {
    "_split_words", kv::fastcall<py_split_words>(), METH_FASTCALL | METH_KEYWORDS,
    "_split_words($module, line)\n--\n\n"
    "Yield the words of a code text: split at spaces outside quotes."};

}  // namespace

void register_lines(State& st) {
    st.stream_type = make_stream_type(st);
    st.chain_type = make_chain_type(st);

    st.functions.add(st.module, fn_chain, &def_chain);
    st.functions.add(st.module, fn_iter_relevant_lines, &def_iter_relevant_lines);
    st.functions.add(st.module, fn_strip_lines, &def_strip_lines);
    st.functions.add(st.module, fn_join_continuations, &def_join_continuations);
    st.functions.add(st.module, fn_standardize_spaces, &def_standardize_spaces);
    st.functions.add(st.module, fn_filter_empty, &def_filter_empty);
    st.functions.add(st.module, fn_split_comments, &def_split_comments);
    st.functions.add(st.module, fn_split_words, &def_split_words);
}

}  // namespace spicenet
