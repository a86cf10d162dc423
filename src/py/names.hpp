// Attribute and keyword names made once per call site: obj.attr("x") would build and hash a
// new str on every call, which the request path does a dozen times per request.
//
//   response.attr(pyutil::name<"status">())
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>

#include <pybind11/pybind11.h>

namespace corvane::pyutil {

namespace py = pybind11;

template <std::size_t N>
struct Literal {
  char text[N];
  constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, text); }  // NOLINT: implicit
};

// The interned str `L`, kept for the life of the process (names are read until it ends).
template <Literal L>
py::handle name() {
  static PyObject* const made = [] {
    PyObject* s = PyUnicode_InternFromString(L.text);
    if (s == nullptr) throw py::error_already_set();
    return s;
  }();
  return made;
}

}  // namespace corvane::pyutil
