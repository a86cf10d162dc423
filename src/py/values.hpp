// Small helpers over Python values, shared by every module: the library's "truthy" and
// "text form" rules, member access with defaults, and loggers.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <pybind11/pybind11.h>

namespace corvane::pyutil {

namespace py = pybind11;

// Python truthiness of anything else than the common cases truthy() answers itself.
bool truthy_by_python(PyObject* value);

// Python truthiness: absent/None, false, zero, "", [] and {} are all false. Inline for the
// types parsed JSON holds: it runs several times per webhook event.
inline bool truthy(py::handle value) {
  PyObject* v = value.ptr();
  if (v == nullptr || v == Py_None || v == Py_False) return false;
  if (v == Py_True) return true;
  if (PyUnicode_CheckExact(v)) return PyUnicode_GET_LENGTH(v) != 0;
  if (PyDict_CheckExact(v)) return PyDict_GET_SIZE(v) != 0;
  if (PyList_CheckExact(v)) return PyList_GET_SIZE(v) != 0;
  return truthy_by_python(v);
}

// The text form of a value, str(value): None -> "None", True -> "True", floats in shortest
// round-trip form.
py::str text_form(py::handle value);

// value[name] when value is a dict holding name, else `fallback` (None by default).
py::object member(py::handle value, const char* name, py::handle fallback = py::none());

// A new dict holding the members of `mapping` (any mapping, or None for an empty dict).
py::dict copy_dict(py::handle mapping);

// True when the dict holds the key. A key comparison that fails (a str subclass with its own
// __eq__) is raised, never left set behind a "no".
inline bool dict_has(py::handle dict, const char* key) {
  const int found = PyDict_Contains(dict.ptr(), py::str(key).ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

// The text a query or form value goes out as: booleans as the Graph API spells them (true,
// false), numbers in decimal, lists, tuples and dicts as compact JSON, text unchanged.
py::str wire_text(py::handle value);

// "<type name of instance>(name=<repr of value>, ...)": a client's repr from the values given,
// which the caller picks so that no secret is among them (reprs reach logs and tracebacks).
py::str instance_repr(py::handle instance,
                      std::initializer_list<std::pair<const char*, py::handle>> fields);

// logging.getLogger(name); resolve once per module and keep it.
py::object logger(const char* name);

// UTF-8 view of a Python str (valid while the str lives).
std::string_view utf8(py::handle text);

// The same for a value that may be anything: nullopt for what is not a str, and for a str
// with lone surrogates, which has no UTF-8 form (header bytes that were not UTF-8, a
// malformed name): never an error.
std::optional<std::string_view> utf8_if_text(py::handle value);

// The value as a C long when it is an int (not a bool) that fits, else nullopt: a status, an
// error code or a paging member of an answer, which may hold anything. Never an error.
std::optional<long> whole_number(py::handle value);

}  // namespace corvane::pyutil
