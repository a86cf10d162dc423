// Python classes whose methods are C++ functions.
#include "py/pyclass.hpp"

#include <new>
#include <stdexcept>

namespace corvane::pyutil {

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const py::builtin_exception& e) {
    e.set_error();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
}

namespace {

py::object function(PyMethodDef* def, py::handle module) {
  auto fn = py::reinterpret_steal<py::object>(PyCFunction_NewEx(def, nullptr, module.ptr()));
  if (!fn) throw py::error_already_set();
  return fn;
}

}  // namespace

ClassBuilder::ClassBuilder(const char* module, const char* name, py::tuple bases, const char* doc)
    : module_(module), name_(name), bases_(std::move(bases)) {
  ns_["__module__"] = module_;
  ns_["__qualname__"] = name_;
  ns_["__doc__"] = py::str(doc);
}

ClassBuilder& ClassBuilder::method(PyMethodDef* def) {
  auto method = py::reinterpret_steal<py::object>(PyInstanceMethod_New(function(def, module_).ptr()));
  if (!method) throw py::error_already_set();
  ns_[def->ml_name] = method;
  return *this;
}

ClassBuilder& ClassBuilder::class_method(PyMethodDef* def) {
  auto method = py::reinterpret_steal<py::object>(PyClassMethod_New(function(def, module_).ptr()));
  if (!method) throw py::error_already_set();
  ns_[def->ml_name] = method;
  return *this;
}

ClassBuilder& ClassBuilder::static_method(PyMethodDef* def) {
  auto method = py::reinterpret_steal<py::object>(PyStaticMethod_New(function(def, module_).ptr()));
  if (!method) throw py::error_already_set();
  ns_[def->ml_name] = method;
  return *this;
}

ClassBuilder& ClassBuilder::property(const char* name, PyMethodDef* getter) {
  py::object fget = function(getter, module_);
  ns_[name] = py::module_::import("builtins").attr("property")(fget, py::none(), py::none(),
                                                               py::str(getter->ml_doc));
  return *this;
}

ClassBuilder& ClassBuilder::attr(const char* name, py::handle value) {
  ns_[name] = value;
  return *this;
}

py::object ClassBuilder::build() {
  return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type))(
      name_, bases_, ns_);
}

}  // namespace corvane::pyutil
