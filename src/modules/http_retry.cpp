// RetryPolicy: attempts, exponential back-off with a cap, and a random spread.
#include <climits>

#include "core/retry.hpp"
#include "http_internal.hpp"
#include "py/values.hpp"

namespace corvane::http {
namespace {

using pyutil::guarded;
using pyutil::parse_args;

constexpr const char* kFields[] = {"attempts", "backoff_base", "backoff_max", "jitter"};

double as_seconds(PyObject* value, const char* name) {
  if (PyBool_Check(value) || !PyNumber_Check(value)) {
    PyErr_Format(PyExc_TypeError, "RetryPolicy: %s must be a number of seconds, not %.100s",
                 name, Py_TYPE(value)->tp_name);
    throw py::error_already_set();
  }
  const double seconds = PyFloat_AsDouble(value);
  if (seconds == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return seconds;
}

PyObject* init(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    static const char* keywords[] = {"self", "attempts", "backoff_base", "backoff_max", "jitter",
                                     nullptr};
    PyObject* self = nullptr;
    PyObject* attempts = nullptr;
    PyObject* base = nullptr;
    PyObject* max = nullptr;
    PyObject* jitter = Py_True;
    parse_args(args, kwargs, "O|OOOO:RetryPolicy", keywords, &self, &attempts, &base, &max,
               &jitter);
    py::object a = attempts ? py::reinterpret_borrow<py::object>(attempts) : py::int_(3);
    if (PyBool_Check(a.ptr()) || !PyLong_Check(a.ptr())) {
      throw py::type_error("RetryPolicy: attempts must be an integer");
    }
    py::object b = base ? py::float_(as_seconds(base, "backoff_base")) : py::float_(0.5);
    py::object m = max ? py::float_(as_seconds(max, "backoff_max")) : py::float_(30.0);
    py::handle s(self);
    s.attr("attempts") = a;
    s.attr("backoff_base") = b;
    s.attr("backoff_max") = m;
    s.attr("jitter") = py::bool_(pyutil::truthy(jitter));
    return py::none();
  });
}

PyObject* delay_for(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    static const char* keywords[] = {"self", "attempt", nullptr};
    PyObject* self = nullptr;
    PyObject* attempt = nullptr;
    parse_args(args, kwargs, "OO:delay_for", keywords, &self, &attempt);
    if (PyBool_Check(attempt) || !PyLong_Check(attempt)) {
      throw py::type_error("delay_for: attempt must be an integer");
    }
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(attempt, &overflow);
    if (overflow != 0) n = overflow > 0 ? LLONG_MAX : LLONG_MIN;
    py::handle s(self);
    core::Backoff policy;
    policy.base = as_seconds(s.attr("backoff_base").ptr(), "backoff_base");
    policy.max = as_seconds(s.attr("backoff_max").ptr(), "backoff_max");
    policy.jitter = pyutil::truthy(s.attr("jitter"));
    // random.random is looked up at each draw, so a host may seed or replace it.
    const double r =
        policy.jitter ? py::module_::import("random").attr("random")().cast<double>() : 0.0;
    return py::float_(core::delay_for(policy, n, r));
  });
}

PyObject* repr(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    static const char* keywords[] = {"self", nullptr};
    PyObject* self = nullptr;
    parse_args(args, kwargs, "O:__repr__", keywords, &self);
    py::handle s(self);
    return py::str("RetryPolicy(attempts={!r}, backoff_base={!r}, backoff_max={!r}, jitter={!r})")
        .format(s.attr("attempts"), s.attr("backoff_base"), s.attr("backoff_max"),
                s.attr("jitter"));
  });
}

PyObject* eq(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    static const char* keywords[] = {"self", "other", nullptr};
    PyObject* self_ptr = nullptr;
    PyObject* other_ptr = nullptr;
    parse_args(args, kwargs, "OO:__eq__", keywords, &self_ptr, &other_ptr);
    py::handle self(self_ptr);
    py::handle other(other_ptr);
    if (!py::isinstance(other, py::type::of(self))) {
      return py::reinterpret_borrow<py::object>(Py_NotImplemented);
    }
    for (const char* field : kFields) {
      if (!self.attr(field).equal(other.attr(field))) return py::bool_(false);
    }
    return py::bool_(true);
  });
}

PyMethodDef methods[] = {
    pyutil::method_def("__init__", init,
                       "__init__(self, attempts=3, backoff_base=0.5, backoff_max=30.0, "
                       "jitter=True)\n--\n\n"
                       "Retry settings: total attempts per request (the first one included), the "
                       "delay after the first failure, the cap of the exponential delay, and "
                       "whether each delay is multiplied by a random factor in [0.5, 1.5)."),
    pyutil::method_def("delay_for", delay_for,
                       "delay_for(self, attempt)\n--\n\n"
                       "Seconds to wait after the failed attempt number `attempt` (counted from "
                       "1): backoff_base * 2**(attempt-1), capped at backoff_max, then spread."),
    pyutil::method_def("__repr__", repr, nullptr),
    pyutil::method_def("__eq__", eq, nullptr),
};

}  // namespace

py::object make_retry_policy_class(const char* module) {
  pyutil::ClassBuilder cls(module, "RetryPolicy", py::make_tuple(),
                           "Retry settings of a client: attempts, back-off and spread.\n\n"
                           "With the defaults a request is tried at most three times, waiting "
                           "about 0.5 and 1 second between attempts.");
  for (auto& def : methods) cls.method(&def);
  cls.attr("__slots__", py::make_tuple("attempts", "backoff_base", "backoff_max", "jitter"));
  cls.attr("__hash__", py::none());
  cls.attr("__match_args__", py::make_tuple("attempts", "backoff_base", "backoff_max", "jitter"));
  return cls.build();
}

}  // namespace corvane::http
