// Argument checks for functions that take text or raw bytes: a wrong type is a TypeError that
// names the function and the argument, never a crash or a silent conversion.
#pragma once

#include <string_view>

#include <pybind11/pybind11.h>

namespace corvane::pyutil {

namespace py = pybind11;

// "`<fn>`: `<arg>` must be <wanted>, not <type name>" as a TypeError.
[[noreturn]] inline void raise_arg_type(const char* fn, const char* arg, const char* wanted,
                                        py::handle got) {
  PyErr_Format(PyExc_TypeError, "%s: `%s` must be %s, not %s", fn, arg, wanted,
               Py_TYPE(got.ptr())->tp_name);
  throw py::error_already_set();
}

// The UTF-8 form of a str argument (valid while `value` lives); anything else, bytes
// included, is a TypeError naming `arg`.
inline std::string_view text_arg(py::handle value, const char* fn, const char* arg) {
  if (!PyUnicode_Check(value.ptr())) raise_arg_type(fn, arg, "str", value);
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
  if (data == nullptr) throw py::error_already_set();
  return {data, static_cast<std::size_t>(size)};
}

// A read-only view of a bytes-like argument (bytes, bytearray, memoryview, ...) held for the
// lifetime of this object. A str is refused: text has no single byte form to sign.
class BytesArg {
 public:
  BytesArg(py::handle value, const char* fn, const char* arg) {
    if (PyUnicode_Check(value.ptr()) || !PyObject_CheckBuffer(value.ptr()))
      raise_arg_type(fn, arg, "bytes", value);
    if (PyObject_GetBuffer(value.ptr(), &view_, PyBUF_SIMPLE) != 0) throw py::error_already_set();
  }
  BytesArg(const BytesArg&) = delete;
  BytesArg& operator=(const BytesArg&) = delete;
  ~BytesArg() { PyBuffer_Release(&view_); }

  std::string_view bytes() const {
    return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
};

}  // namespace corvane::pyutil
