// Small helpers over Python values.
#include "py/values.hpp"

namespace corvane::pyutil {

bool truthy_by_python(PyObject* value) {
  const int r = PyObject_IsTrue(value);
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

py::str text_form(py::handle value) {
  if (PyUnicode_CheckExact(value.ptr())) return py::reinterpret_borrow<py::str>(value);
  return py::str(value);
}

py::object member(py::handle value, const char* name, py::handle fallback) {
  if (value && PyDict_Check(value.ptr())) {
    // A host's dict may hold a key whose __eq__ raises when it meets `name`: that error is the
    // caller's to see, not something to swallow (or to leave set for the next call to trip on).
    const py::str key(name);
    PyObject* found = PyDict_GetItemWithError(value.ptr(), key.ptr());  // borrowed
    if (found != nullptr) return py::reinterpret_borrow<py::object>(found);
    if (PyErr_Occurred()) throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::object>(fallback);
}

py::dict copy_dict(py::handle mapping) {
  if (!mapping || mapping.is_none()) return py::dict();
  py::dict out;
  if (PyDict_Check(mapping.ptr())) {
    if (PyDict_Update(out.ptr(), mapping.ptr()) < 0) throw py::error_already_set();
  } else if (PyDict_Merge(out.ptr(), mapping.ptr(), 1) < 0) {
    throw py::error_already_set();
  }
  return out;
}

py::str instance_repr(py::handle instance,
                      std::initializer_list<std::pair<const char*, py::handle>> fields) {
  std::string out(utf8(py::type::of(instance).attr("__name__")));
  out.push_back('(');
  const char* separator = "";
  for (const auto& [name, value] : fields) {
    out.append(separator).append(name).push_back('=');
    out.append(utf8(py::repr(value)));
    separator = ", ";
  }
  out.push_back(')');
  return py::str(out);
}

py::object logger(const char* name) {
  return py::module_::import("logging").attr("getLogger")(name);
}

std::string_view utf8(py::handle text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (data == nullptr) throw py::error_already_set();
  return {data, static_cast<std::size_t>(size)};
}

std::optional<std::string_view> utf8_if_text(py::handle value) {
  if (!PyUnicode_Check(value.ptr())) return std::nullopt;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
  if (data == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string_view(data, static_cast<std::size_t>(size));
}

std::optional<long> whole_number(py::handle value) {
  if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) return std::nullopt;
  int overflow = 0;
  const long out = PyLong_AsLongAndOverflow(value.ptr(), &overflow);
  if (overflow != 0) return std::nullopt;
  return out;  // an int's own value: no __index__ is called, so no error can be set
}

py::str wire_text(py::handle value) {
  if (PyUnicode_Check(value.ptr())) return py::reinterpret_borrow<py::str>(value);
  if (PyBool_Check(value.ptr())) return py::str(value.ptr() == Py_True ? "true" : "false");
  if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr()) || PyDict_Check(value.ptr())) {
    static PyObject* dumps = nullptr;  // json.dumps, kept for the life of the process
    if (dumps == nullptr) dumps = py::object(py::module_::import("json").attr("dumps")).release().ptr();
    return py::handle(dumps)(value, py::arg("separators") = py::make_tuple(",", ":"),
                             py::arg("ensure_ascii") = false);
  }
  return text_form(value);
}

}  // namespace corvane::pyutil
