// corvane.errors: the error kinds every failure of the library is reported as.
#include <pybind11/pybind11.h>

#include "py/binder.hpp"
#include "py/owned.hpp"
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

py::object init_error(py::object self, corvane::binder::Args args) {
  // args stays (message,) so that pickling rebuilds the error and restores the fields.
  if (reinterpret_cast<PyTypeObject*>(PyExc_Exception)
          ->tp_init(self.ptr(), py::make_tuple(args[0]).ptr(), nullptr) < 0) {
    throw py::error_already_set();
  }
  self.attr("message") = args[0];
  for (std::size_t i = 0; i < std::size(kFields); ++i) self.attr(kFields[i]) = args[i + 1];
  return py::none();
}

py::object error_str(py::object self, corvane::binder::Args) {
  return corvane::pyutil::text_form(py::getattr(self, "message", py::str("")));
}

// AuthError('Invalid token', provider='facebook', status=401, code=190)
py::object error_repr(py::object self, corvane::binder::Args) {
  py::list parts;
  parts.append(py::repr(py::getattr(self, "message", py::str(""))));
  for (const char* field : {"provider", "status", "code", "subcode"}) {
    py::object value = py::getattr(self, field, py::none());
    if (!value.is_none()) parts.append(py::str("{}={}").format(field, py::repr(value)));
  }
  return py::str("{}({})").format(py::type::of(self).attr("__name__"), py::str(", ").attr("join")(parts));
}

// The methods of CorvaneError, bound on the class as a Python def would be.
constexpr corvane::binder::Param option(const char* name) {
  return {name, &corvane::binder::kAnything, "None", true};
}
const corvane::binder::Operation kMethods[] = {
    {"__init__",
     {{"message", &corvane::binder::kAnything}, option("provider"), option("status"),
      option("code"), option("subcode"), option("payload"), option("url"),
      option("retry_after")},
     "Builds an error from its message and, by name, any of its fields.", nullptr, init_error},
    {"__str__", {}, nullptr, nullptr, error_str},
    {"__repr__", {}, nullptr, nullptr, error_repr},
};

py::object new_kind(py::module_& m, const char* name, py::handle base, const char* doc) {
  const std::string qualified = std::string("corvane.errors.") + name;
  auto kind = corvane::pyutil::owned(
      PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base.ptr(), nullptr));
  m.attr(name) = kind;
  return kind;
}

}  // namespace

PYBIND11_MODULE(errors, m) {
  m.doc() = kModuleDoc;
  py::object base = new_kind(m, "CorvaneError", PyExc_Exception,
                             "Base of every error corvane raises.");
  // Method descriptors, not plain functions: they refuse a `self` that is no CorvaneError
  // (Exception's own __init__ would write into any object it is given).
  PyMethodDef* methods = corvane::binder::type_methods<kMethods>("CorvaneError");
  for (; methods->ml_name != nullptr; ++methods) {
    base.attr(methods->ml_name) = corvane::pyutil::owned(
        PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(base.ptr()), methods));
  }
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
