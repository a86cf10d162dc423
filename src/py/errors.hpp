// Raising and recognising the library's error kinds (corvane.errors) from C++.
#pragma once

#include <string_view>

#include <pybind11/pybind11.h>

namespace corvane::pyutil {

namespace py = pybind11;

// The error class corvane.errors.<kind>, e.g. error_kind("AuthError").
py::object error_kind(const char* kind);

// A new error object: kind(message, **fields).
py::object make_error(const char* kind, py::handle message, const py::dict& fields = py::dict());

// Raises `error` (an exception instance) as a C++ py::error_already_set.
[[noreturn]] void raise(py::handle error);

// Raises `error` with `cause` (an exception instance) as its __cause__.
[[noreturn]] void raise_from(py::handle error, py::handle cause);

// Raises kind(message, **fields).
[[noreturn]] void raise_error(const char* kind, py::handle message,
                              const py::dict& fields = py::dict());

// True when the caught error is of corvane.errors.<kind> (subclasses included).
bool is_kind(const py::error_already_set& error, const char* kind);
bool is_kind(py::handle error, const char* kind);

}  // namespace corvane::pyutil
