// Raising and recognising the library's error kinds from C++.
#include "py/errors.hpp"

namespace corvane::pyutil {

py::object error_kind(const char* kind) {
  // corvane.errors is imported once per process; the attribute lookup is a dict probe.
  static PyObject* module = nullptr;
  if (module == nullptr) {
    module = PyImport_ImportModule("corvane.errors");  // kept for the life of the process
    if (module == nullptr) throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::object>(module).attr(kind);
}

py::object make_error(const char* kind, py::handle message, const py::dict& fields) {
  return error_kind(kind)(message, **fields);
}

void raise(py::handle error) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

void raise_from(py::handle error, py::handle cause) {
  PyException_SetCause(error.ptr(), py::reinterpret_borrow<py::object>(cause).release().ptr());
  raise(error);
}

void raise_error(const char* kind, py::handle message, const py::dict& fields) {
  raise(make_error(kind, message, fields));
}

bool is_kind(const py::error_already_set& error, const char* kind) {
  return error.matches(error_kind(kind));
}

bool is_kind(py::handle error, const char* kind) {
  const int r = PyObject_IsInstance(error.ptr(), error_kind(kind).ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

}  // namespace corvane::pyutil
