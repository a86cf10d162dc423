// Raising and recognising the library's error kinds (corvane.errors) from C++.
#pragma once

#include <string_view>

#include <string>

#include <pybind11/pybind11.h>

namespace corvane::pyutil {

namespace py = pybind11;

// The error class corvane.errors.<kind>, e.g. error_kind("AuthError").
py::object error_kind(const char* kind);

// A new error object: kind(message, **fields).
py::object make_error(const char* kind, py::handle message, const py::dict& fields = py::dict());

// Raises `error` (an exception instance) as a C++ py::error_already_set. Anything else raises
// TypeError, as Python's own `raise` does: the object may come from a hook a host overrode.
[[noreturn]] void raise(py::handle error);

// Raises `error` with `cause` (an exception instance, or None) as its __cause__.
[[noreturn]] void raise_from(py::handle error, py::handle cause);

// Throws TypeError naming `hook` unless `value` (what the hook returned) is an exception
// instance, before code goes on to set attributes on it or raise it.
void require_exception(py::handle value, const char* hook);

// Raises kind(message, **fields).
[[noreturn]] void raise_error(const char* kind, py::handle message,
                              const py::dict& fields = py::dict());

// True when the caught error is of corvane.errors.<kind> (subclasses included).
bool is_kind(const py::error_already_set& error, const char* kind);
bool is_kind(py::handle error, const char* kind);

// Adds `note` to an exception (PEP 678: shown under the message in tracebacks), leaving its
// message exactly as it is. Before 3.11 the note is kept in __notes__ alone.
void add_note(py::handle error, const std::string& note);

}  // namespace corvane::pyutil
