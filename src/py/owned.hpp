// A new reference a C API call returned, as an RAII handle.
#pragma once

#include <pybind11/pybind11.h>

namespace corvane::pyutil {

namespace py = pybind11;

// The reference `result` owned; the Python error the call set raised when it returned none.
template <class T = py::object>
T owned(PyObject* result) {
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<T>(result);
}

}  // namespace corvane::pyutil
