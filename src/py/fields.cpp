// Field-set and metric-list look-up, and field-set listing, through corvane.policy.
#include "py/fields.hpp"

#include "py/policy_access.hpp"

namespace corvane::pyutil {
namespace {

[[noreturn]] void raise_attribute_error(const py::str& message) {
  PyErr_SetObject(PyExc_AttributeError, message.ptr());
  throw py::error_already_set();
}

// The "fields" member of a dict, or nothing.
py::handle fields_member(py::handle document) {
  if (!document || !PyDict_Check(document.ptr())) return {};
  return PyDict_GetItemString(document.ptr(), "fields");  // borrowed, may be null
}

// Adds the keys of `table` to `names` when it is a non-empty dict.
void add_names(py::set& names, py::handle table) {
  if (!table || !PyDict_Check(table.ptr()) || PyDict_Size(table.ptr()) == 0) return;
  for (py::handle name : table) names.add(name);
}

}  // namespace

py::str field_set(const py::str& name) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
  if (data == nullptr) throw py::error_already_set();
  // Private and special names are never field sets; answering them from the policy would
  // also confuse copy, pickle and other protocol probes.
  if (size > 0 && data[0] == '_') raise_attribute_error(name);

  const py::object list = current_policy().attr("fields")(name);
  if (PyUnicode_Check(list.ptr())) {
    if (PyUnicode_GET_LENGTH(list.ptr()) > 0) return py::reinterpret_borrow<py::str>(list);
  } else if (!list.is_none()) {
    const int truth = PyObject_IsTrue(list.ptr());
    if (truth < 0) throw py::error_already_set();
    if (truth == 0) raise_attribute_error(py::str("Noma'lum maydon to'plami: ") + name);
    // A policy answering something other than text is broken: say so plainly rather than
    // send it to the Graph API.
    PyErr_Format(PyExc_TypeError, "policy fields(%R) answered %s, not str", name.ptr(),
                 Py_TYPE(list.ptr())->tp_name);
    throw py::error_already_set();
  }
  raise_attribute_error(py::str("Noma'lum maydon to'plami: ") + name);
}

py::str field_set(std::string_view name) {
  return field_set(py::str(name.data(), name.size()));
}

py::str metric_list(std::string_view name) {
  const py::str key(name.data(), name.size());
  const py::object list = current_policy().attr("metrics")(key);
  if (PyUnicode_Check(list.ptr())) {
    if (PyUnicode_GET_LENGTH(list.ptr()) > 0) return py::reinterpret_borrow<py::str>(list);
  } else if (!list.is_none()) {
    PyErr_Format(PyExc_TypeError, "policy metrics(%R) answered %s, not str", key.ptr(),
                 Py_TYPE(list.ptr())->tp_name);
    throw py::error_already_set();
  }
  PyErr_SetObject(PyExc_LookupError,
                  (py::str("Noma'lum metrikalar ro'yxati: ") + key).ptr());
  throw py::error_already_set();
}

py::list field_set_names() {
  const py::module_ policy = policy_module();
  py::set names;
  add_names(names, fields_member(policy.attr("BASELINE")));
  add_names(names, fields_member(policy.attr("current")().attr("data")));
  py::list sorted = py::reinterpret_steal<py::list>(PySequence_List(names.ptr()));
  if (!sorted) throw py::error_already_set();
  sorted.attr("sort")();
  return sorted;
}

}  // namespace corvane::pyutil
