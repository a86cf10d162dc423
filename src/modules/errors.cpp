// corvane.errors: the error kinds every failure of the library is reported as.
#include <pybind11/pybind11.h>

#include "py/values.hpp"

namespace py = pybind11;

namespace {

constexpr const char* kModuleDoc = R"doc(Error kinds of corvane.

Every failure the library reports is one of these::

    CorvaneError                 base of everything corvane raises
    ├── ApiError                 the platform answered with an error (or lacked what was needed)
    │   ├── AuthError            credentials refused: token invalid, expired or revoked
    │   ├── PermissionError      valid credentials without the permission, or action forbidden
    │   ├── NotFoundError        the object does not exist or is not visible
    │   ├── RateLimitError       the platform throttled the caller (see retry_after)
    │   └── NotRunError          an operation of a batch the platform did not run
    ├── TransportError           the platform could not be reached (connection, timeout)
    └── ConfigurationError       a setting or argument is missing; nothing was sent

Each error carries ``message`` and, where known, ``provider``, ``status``, ``code``,
``subcode``, ``payload``, ``url`` (secrets masked) and ``retry_after``; the absent ones are None.
``str(err)`` is the message. ``url`` and ``retry_after`` may be assigned after construction.
)doc";

constexpr const char* kFields[] = {"provider", "status", "code", "subcode",
                                   "payload",  "url",    "retry_after"};

// __init__(self, message, *, provider=None, status=None, code=None, subcode=None,
//          payload=None, url=None, retry_after=None)
PyObject* init_error(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"message", "provider", "status", "code", "subcode",
                                   "payload", "url",      "retry_after", nullptr};
  PyObject* values[8] = {nullptr, Py_None, Py_None, Py_None, Py_None, Py_None, Py_None, Py_None};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOOOO:__init__",
                                   const_cast<char**>(keywords), &values[0], &values[1],
                                   &values[2], &values[3], &values[4], &values[5], &values[6],
                                   &values[7])) {
    return nullptr;
  }
  // args stays (message,) so that pickling rebuilds the error and restores the fields.
  PyObject* only_message = PyTuple_Pack(1, values[0]);
  if (only_message == nullptr) return nullptr;
  const int rc =
      reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_init(self, only_message, nullptr);
  Py_DECREF(only_message);
  if (rc < 0) return nullptr;
  for (int i = 0; keywords[i] != nullptr; ++i) {
    if (PyObject_SetAttrString(self, keywords[i], values[i]) < 0) return nullptr;
  }
  Py_RETURN_NONE;
}

py::str error_str(py::object self) {
  return corvane::pyutil::text_form(py::getattr(self, "message", py::str("")));
}

// AuthError('Invalid token', provider='facebook', status=401, code=190)
py::str error_repr(py::object self) {
  py::list parts;
  parts.append(py::repr(py::getattr(self, "message", py::str(""))));
  for (const char* field : {"provider", "status", "code", "subcode"}) {
    py::object value = py::getattr(self, field, py::none());
    if (!value.is_none()) parts.append(py::str("{}={}").format(field, py::repr(value)));
  }
  return py::str("{}({})").format(py::type::of(self).attr("__name__"), py::str(", ").attr("join")(parts));
}

// A C++ function as a method of a class made outside pybind11 (binds like a Python def).
py::object as_method(py::cpp_function fn) {
  auto method = py::reinterpret_steal<py::object>(PyInstanceMethod_New(fn.ptr()));
  if (!method) throw py::error_already_set();
  return method;
}

py::object new_kind(py::module_& m, const char* name, py::handle base, const char* doc) {
  const std::string qualified = std::string("corvane.errors.") + name;
  auto kind = py::reinterpret_steal<py::object>(
      PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base.ptr(), nullptr));
  if (!kind) throw py::error_already_set();
  m.attr(name) = kind;
  return kind;
}

}  // namespace

PYBIND11_MODULE(errors, m) {
  m.doc() = kModuleDoc;
  py::object base = new_kind(m, "CorvaneError", PyExc_Exception,
                             "Base of every error corvane raises.");
  static PyMethodDef init_def = {
      "__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(init_error)),
      METH_VARARGS | METH_KEYWORDS,
      "__init__($self, /, message, *, provider=None, status=None, code=None, subcode=None, "
      "payload=None, url=None, retry_after=None)\n--\n\n"
      "Builds an error from its message and, by name, any of its fields."};
  auto init = py::reinterpret_steal<py::object>(
      PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(base.ptr()), &init_def));
  if (!init) throw py::error_already_set();
  base.attr("__init__") = init;
  base.attr("__str__") =
      as_method(py::cpp_function(error_str, py::name("__str__"), py::is_method(base)));
  base.attr("__repr__") =
      as_method(py::cpp_function(error_repr, py::name("__repr__"), py::is_method(base)));
  // Class-level defaults, so a subclass that skips __init__ still reads None.
  base.attr("message") = py::str("");
  for (const char* field : kFields) base.attr(field) = py::none();

  py::object api = new_kind(m, "ApiError", base,
                            "The platform answered with an error that no narrower kind covers, "
                            "or a successful answer lacked what the operation needs.");
  new_kind(m, "AuthError", api, "The credentials were refused (token invalid, expired or revoked).");
  new_kind(m, "PermissionError", api,
           "The credentials are valid but lack a permission, or the platform forbids the action.");
  new_kind(m, "NotFoundError", api, "The object does not exist or is not visible.");
  new_kind(m, "RateLimitError", api,
           "The platform throttled the caller; retry_after holds the wait it gave in seconds "
           "(Retry-After, else the longest estimated_time_to_regain_access of "
           "X-Business-Use-Case-Usage).");
  new_kind(m, "NotRunError", api,
           "An operation of a Graph batch that the platform did not run: an operation it depends "
           "on failed or was not run, or the batch ran out of time. The message says which, "
           "when known; nothing of it took effect.");
  new_kind(m, "TransportError", base,
           "The platform could not be reached: connection failure or timeout, after retries.");
  new_kind(m, "ConfigurationError", base,
           "A setting or argument is missing; detected before any request is sent.");
}
