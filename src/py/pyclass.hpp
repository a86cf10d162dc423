// Python classes whose methods are C++ functions: argument parsing, error translation, and a
// builder that makes the class with type(name, bases, namespace).
//
// Classes made this way are ordinary Python classes: instances keep their state in their
// __dict__, subclasses (in Python or in another extension module) derive from them as from
// any class, and a subclass's override of a hook is what the C++ code calls, since it calls
// hooks through attribute lookup on the instance.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <string>

#include <pybind11/pybind11.h>

namespace corvane::pyutil {

namespace py = pybind11;

// Sets the Python error for the C++ exception being handled (call inside a catch block).
void set_error_from_current_exception() noexcept;

// Runs `body` (returning py::object) and hands its result to CPython as a new reference, or
// null with the error set when it threw.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body().release().ptr();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// A borrowed argument (a METH_VARARGS function's args item) as a reference of the caller's own,
// for a task that outlives the call.
inline py::object own(PyObject* value) { return py::reinterpret_borrow<py::object>(value); }

// A keyword-only argument that has no default must have been given ("|$O" leaves it null).
inline void require_keyword(PyObject* value, const char* function, const char* name) {
  if (value == nullptr) {
    throw py::type_error(std::string(function) + "() missing required keyword-only argument: '" +
                         name + "'");
  }
}

// PyArg_ParseTupleAndKeywords that throws on failure. `keywords` is null-terminated.
template <class... Out>
void parse_args(PyObject* args, PyObject* kwargs, const char* format, const char* const* keywords,
                Out*... out) {
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), out...)) {
    throw py::error_already_set();
  }
}

using Method = PyObject* (*)(PyObject* unused, PyObject* args, PyObject* kwargs);

// Assembles a class namespace, then creates the class. PyMethodDef entries must outlive the
// class: keep them in static storage.
class ClassBuilder {
 public:
  ClassBuilder(const char* module, const char* name, py::tuple bases, const char* doc);

  // A method: the function receives the instance as args[0] (like a Python def).
  ClassBuilder& method(PyMethodDef* def);
  // A classmethod: the function receives the class as args[0].
  ClassBuilder& class_method(PyMethodDef* def);
  // A staticmethod.
  ClassBuilder& static_method(PyMethodDef* def);
  // A read-only property computed by `getter` (a PyMethodDef taking the instance as args[0]).
  ClassBuilder& property(const char* name, PyMethodDef* getter);
  ClassBuilder& attr(const char* name, py::handle value);

  py::object build();

 private:
  py::str module_;
  py::str name_;
  py::tuple bases_;
  py::dict ns_;
};

// A PyMethodDef for a METH_VARARGS | METH_KEYWORDS function.
inline PyMethodDef method_def(const char* name, Method fn, const char* doc) {
  return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
                     METH_VARARGS | METH_KEYWORDS, doc};
}

// A new reference to an object kept for the life of the process (module-level caches that
// must never be destroyed after the interpreter is gone).
class Immortal {
 public:
  Immortal() = default;
  explicit Immortal(py::object value) : ptr_(value.release().ptr()) {}
  py::handle get() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }

 private:
  PyObject* ptr_ = nullptr;
};

}  // namespace corvane::pyutil
