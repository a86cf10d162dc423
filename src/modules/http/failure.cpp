// Failures of the HTTP layer: which ones the pipeline handles, which ones certainly sent
// nothing, and the TransportError a host sees, with every secret masked.
//
// The HTTP library's own messages quote the request URL, credentials included (a redirect
// loop's error ends with the access_token). The TransportError's message is masked, and its
// __cause__ is a masked stand-in of the library's exception: an instance of a subclass of the
// same class (so `isinstance(err.__cause__, aiohttp.TooManyRedirects)` still tells the kind)
// whose str and repr are the masked message, and which keeps only the plain attributes that
// carry no secret (an errno, a status) and none of the objects that quote the request. It
// keeps no traceback either, nor any exception chain: the HTTP library's frames hold the
// request URL (token included), a form with the client_secret or an OAuth code in their locals,
// and a debugger or an error tracker that records locals would show them.
#include <string>
#include <vector>

#include "core/mask.hpp"
#include "modules/http/internal.hpp"
#include "py/errors.hpp"
#include "py/owned.hpp"
#include "py/values.hpp"

namespace corvane::http {
namespace {

pyutil::Immortal g_client_error;         // aiohttp.ClientError
pyutil::Immortal g_asyncio_timeout;      // asyncio.TimeoutError (not the builtin before 3.11)
pyutil::Immortal g_connector_error;      // aiohttp.ClientConnectorError
pyutil::Immortal g_connect_timeout;      // aiohttp.ConnectionTimeoutError (newer aiohttp only)
pyutil::Immortal g_masked_types;         // {original class: masked subclass}

void resolve_aiohttp() {
  if (g_client_error) return;
  py::module_ aiohttp = py::module_::import("aiohttp");
  g_connector_error = pyutil::Immortal(aiohttp.attr("ClientConnectorError"));
  g_connect_timeout = pyutil::Immortal(py::getattr(aiohttp, "ConnectionTimeoutError", py::none()));
  g_masked_types = pyutil::Immortal(py::dict());
  g_asyncio_timeout = pyutil::Immortal(py::module_::import("asyncio").attr("TimeoutError"));
  g_client_error = pyutil::Immortal(aiohttp.attr("ClientError"));
}

bool is_instance(py::handle value, py::handle kind) {
  if (kind.is_none()) return false;
  const int r = PyObject_IsInstance(value.ptr(), kind.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// The subclass of `cls` whose str and repr are BaseException's (the message in args[0]).
py::object masked_type(py::handle cls) {
  py::dict cache = py::reinterpret_borrow<py::dict>(g_masked_types.get());
  PyObject* known = PyDict_GetItemWithError(cache.ptr(), cls.ptr());  // borrowed; used at once
  if (known != nullptr) return py::reinterpret_borrow<py::object>(known);
  if (PyErr_Occurred()) throw py::error_already_set();
  py::handle base_exception(PyExc_BaseException);
  py::dict ns;
  ns["__str__"] = base_exception.attr("__str__");
  ns["__repr__"] = base_exception.attr("__repr__");
  ns["__module__"] = cls.attr("__module__");
  ns["__qualname__"] = cls.attr("__qualname__");
  ns["__doc__"] = py::str("The exception of the HTTP layer, its message with secrets masked.");
  py::object sub = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type))(
      cls.attr("__name__"), py::make_tuple(cls), ns);
  cache[cls] = sub;
  return sub;
}

// Attribute values a masked stand-in may keep: plain values whose text holds no secret, and
// OS errors (an errno and the address that refused). Anything else may quote the request.
bool keepable(py::handle value, const Secrets& secrets) {
  PyObject* v = value.ptr();
  if (v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v)) {
    return true;
  }
  if (!PyUnicode_CheckExact(v) && !is_instance(value, PyExc_OSError)) return false;
  py::str text = py::repr(value);
  return masked_text(text, secrets) == pyutil::utf8(text);
}

// `error` without traceback and chain.
py::object unchained(py::object error) {
  PyException_SetTraceback(error.ptr(), Py_None);
  PyException_SetContext(error.ptr(), nullptr);
  PyException_SetCause(error.ptr(), nullptr);
  return error;
}

// An exception with neither traceback nor chain. An OS error kept as an attribute is
// replaced by a copy (made from its arguments): the original's traceback reaches into the
// HTTP library's frames.
py::object without_frames(py::handle value) {
  if (!is_instance(value, PyExc_BaseException)) return py::reinterpret_borrow<py::object>(value);
  static pyutil::Immortal copy;
  if (!copy) copy = pyutil::Immortal(py::module_::import("copy").attr("copy"));
  return unchained(copy.get()(value));
}

py::object masked_stand_in(py::handle failure, const py::str& message, const Secrets& secrets) {
  py::object stand_in;
  try {
    py::object sub = masked_type(py::type::of(failure));
    // The class's own __new__ (OSError-based failures refuse BaseException's); __init__ is
    // not run, since it would want the original arguments, request included.
    stand_in = sub.attr("__new__")(sub);
  } catch (py::error_already_set& e) {
    // A class that takes no subclass: a plain Exception still carries the masked message.
    if (!e.matches(PyExc_TypeError)) throw;
    stand_in = py::handle(PyExc_Exception)();
  }
  stand_in.attr("args") = py::make_tuple(message);
  py::object attributes = py::getattr(failure, "__dict__", py::none());
  py::object own = py::getattr(stand_in, "__dict__", py::none());
  if (PyDict_Check(attributes.ptr()) && PyDict_Check(own.ptr())) {
    // A snapshot of the items: repr() below runs Python code that could change the dict.
    for (py::handle item : pyutil::owned<py::list>(PyDict_Items(attributes.ptr()))) {
      py::object name = item[py::int_(0)];
      py::object value = item[py::int_(1)];
      if (!keepable(value, secrets)) continue;
      py::object kept;
      try {
        kept = without_frames(value);
      } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        continue;  // an error that cannot be copied is not kept
      }
      if (PyDict_SetItem(own.ptr(), name.ptr(), kept.ptr()) < 0) throw py::error_already_set();
    }
  }
  return unchained(std::move(stand_in));
}

}  // namespace

bool is_transport_failure(const py::error_already_set& e) {
  resolve_aiohttp();
  // An expired total timeout is asyncio.TimeoutError, the builtin TimeoutError only since
  // Python 3.11.
  return e.matches(g_client_error.get()) || e.matches(PyExc_TimeoutError) ||
         e.matches(g_asyncio_timeout.get());
}

bool nothing_was_sent(py::handle failure) {
  resolve_aiohttp();
  return is_instance(failure, g_connector_error.get()) ||
         is_instance(failure, g_connect_timeout.get());
}

py::object transport_error(py::handle failure, const std::string& masked_url,
                           const Secrets& secrets) {
  py::str description = pyutil::text_form(failure);
  if (PyUnicode_GetLength(description.ptr()) == 0) {
    description = py::str(py::type::of(failure).attr("__name__"));
  }
  const py::str message(masked_text(description, secrets));
  py::object error =
      pyutil::make_error("TransportError", message, py::dict(py::arg("url") = masked_url));
  py::str cause_message(masked_text(pyutil::text_form(failure), secrets));
  py::object cause = masked_stand_in(failure, cause_message, secrets);
  PyException_SetCause(error.ptr(), cause.release().ptr());  // steals
  return error;
}

}  // namespace corvane::http
