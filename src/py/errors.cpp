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

namespace {

[[noreturn]] void not_an_exception(py::handle value) {
  PyErr_Format(PyExc_TypeError, "exceptions must derive from BaseException, not %.200s",
               Py_TYPE(value.ptr())->tp_name);
  throw py::error_already_set();
}

}  // namespace

void raise(py::handle error) {
  if (!PyExceptionInstance_Check(error.ptr())) not_an_exception(error);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

void raise_from(py::handle error, py::handle cause) {
  if (!PyExceptionInstance_Check(error.ptr())) not_an_exception(error);
  if (cause.is_none()) {
    PyException_SetCause(error.ptr(), nullptr);  // `raise error from None`
  } else if (PyExceptionInstance_Check(cause.ptr())) {
    PyException_SetCause(error.ptr(), Py_NewRef(cause.ptr()));
  } else {
    PyErr_Format(PyExc_TypeError, "exception causes must derive from BaseException, not %.200s",
                 Py_TYPE(cause.ptr())->tp_name);
    throw py::error_already_set();
  }
  raise(error);
}

void require_exception(py::handle value, const char* hook) {
  if (PyExceptionInstance_Check(value.ptr())) return;
  PyErr_Format(PyExc_TypeError, "%s must return an exception instance, not %.200s", hook,
               Py_TYPE(value.ptr())->tp_name);
  throw py::error_already_set();
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

void add_note(py::handle error, const std::string& note) {
  py::str text(note);
  if (py::hasattr(error, "add_note")) {
    error.attr("add_note")(text);
    return;
  }
  py::object notes = py::getattr(error, "__notes__", py::none());
  if (!PyList_Check(notes.ptr())) {
    notes = py::list();
    error.attr("__notes__") = notes;
  }
  notes.attr("append")(text);
}

}  // namespace corvane::pyutil
