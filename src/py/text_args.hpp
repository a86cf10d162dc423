// Raw bytes as an argument: a wrong type is a TypeError that names the function and the
// argument, never a crash or a silent conversion.
#pragma once

#include <string_view>

#include <pybind11/pybind11.h>

#include "py/binder.hpp"

namespace corvane::pyutil {

namespace py = pybind11;

// A read-only view of a bytes-like argument (bytes, bytearray, memoryview, ...) held for the
// lifetime of this object. A str is refused: text has no single byte form to sign.
class BytesArg {
 public:
  BytesArg(py::handle value, const char* fn, const char* arg) {
    if (PyUnicode_Check(value.ptr()) || !PyObject_CheckBuffer(value.ptr()))
      binder::wrong_type(value, fn, arg, "bytes");
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
