// Hot-path helpers over Python objects for the webhook and lead modules: interned member
// names, dict look-ups by such a name, raw C entry points that report C++ errors to Python,
// and the UTF-8 bytes of any text (lone surrogates included).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include <pybind11/pybind11.h>

#include "core/json_text.hpp"
#include "py/pyclass.hpp"  // guarded()

namespace corvane::pyutil {

namespace py = pybind11;

// An interned str that lives as long as the process. It is never released: module-level
// names are read until the interpreter ends.
inline py::handle interned(const char* text) {
  PyObject* name = PyUnicode_InternFromString(text);
  if (name == nullptr) throw py::error_already_set();
  return name;
}

// dict[key] when `dict` is a dict holding `key`; an empty object when it is not there or
// `dict` is not a dict.
inline py::object dict_item(py::handle dict, py::handle key) {
  if (!PyDict_Check(dict.ptr())) return {};
  PyObject* found = PyDict_GetItemWithError(dict.ptr(), key.ptr());  // borrowed
  if (found == nullptr && PyErr_Occurred()) throw py::error_already_set();
  return py::reinterpret_borrow<py::object>(found);
}

// Calls use(units, size) with the code units of a str: a pointer to std::uint8_t (Latin-1),
// std::uint16_t or std::uint32_t as the str stores them, and their count.
template <class Use>
void with_code_units(PyObject* s, Use&& use) {
  const auto size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
  const void* data = PyUnicode_DATA(s);
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
      use(static_cast<const std::uint8_t*>(data), size);
      break;
    case PyUnicode_2BYTE_KIND:
      use(static_cast<const std::uint16_t*>(data), size);
      break;
    default:
      use(static_cast<const std::uint32_t*>(data), size);
      break;
  }
}

// Appends the UTF-8 bytes of a str; lone surrogates get their three-byte form instead of
// failing, since json.loads accepts "\ud800" escapes.
inline void append_text_utf8(core::TextBuffer& out, py::handle text) {
  with_code_units(text.ptr(), [&](const auto* units, std::size_t size) {
    core::append_utf8(out, units, size);
  });
}

}  // namespace corvane::pyutil
