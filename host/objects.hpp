// Small typed helpers over the object protocol: text, calls, attributes,
// containers. Each returns an owned Ref or throws PyErrorSet.
#pragma once

#include <initializer_list>
#include <string_view>

#include "ref.hpp"

namespace kv {

// --- text -------------------------------------------------------------------

// UTF-8 view of a str; valid while the str lives. Fails on lone surrogates.
std::string_view utf8(PyObject* str);
Ref text(std::string_view utf8_text);
// An interned str for a C literal; kept alive by the runtime's intern table.
Ref interned(const char* s);
// str(obj)
Ref to_text(PyObject* obj);
// Name of an object's type, as the runtime prints it.
inline const char* type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

// --- calls and attributes ----------------------------------------------------

// Calls `f` with positional arguments and an optional dict of keywords.
Ref call(PyObject* f, std::initializer_list<PyObject*> args = {}, PyObject* kwargs = nullptr);
Ref call_method(PyObject* obj, const char* name, std::initializer_list<PyObject*> args = {},
                PyObject* kwargs = nullptr);
Ref attr(PyObject* obj, const char* name);
Ref attr(PyObject* obj, PyObject* name);
// The attribute or an empty Ref when it is missing (AttributeError cleared).
Ref attr_or_null(PyObject* obj, PyObject* name);
void set_attr(PyObject* obj, const char* name, PyObject* value);
Ref import(const char* dotted_name);

// --- containers --------------------------------------------------------------

Ref new_dict();
Ref new_list(Py_ssize_t size = 0);
// Builds a tuple from borrowed items.
Ref tuple_of(std::initializer_list<PyObject*> items);
// dict.get: a new reference or an empty Ref when the key is absent.
Ref dict_get(PyObject* dict, PyObject* key);
void dict_set(PyObject* dict, PyObject* key, PyObject* value);
void dict_set(PyObject* dict, const char* key, PyObject* value);
void list_append(PyObject* list, PyObject* item);

}  // namespace kv
