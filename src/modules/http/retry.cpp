// RetryPolicy: attempts, exponential back-off with a cap, and a random spread.
#include <climits>
#include <cmath>

#include "core/retry.hpp"
#include "modules/http/internal.hpp"
#include "py/values.hpp"

namespace corvane::http {

// A number of seconds that a wait may last: finite and not negative (an infinite back-off
// would make a retry sleep forever, a NaN compares false with every cap).
double retry_seconds(PyObject* value, const char* name) {
  if (PyBool_Check(value) || !PyNumber_Check(value)) {
    binder::wrong_type(value, "RetryPolicy", name, texts::kSeconds);
  }
  const double seconds = PyFloat_AsDouble(value);
  if (seconds == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
    PyErr_Clear();  // an integer beyond any double: reported like infinity
  }
  if (!std::isfinite(seconds) || seconds < 0) {
    binder::wrong_value(value, "RetryPolicy", name, texts::kFiniteSeconds);
  }
  return seconds;
}

long attempt_count(PyObject* attempts) {
  binder::count(attempts, "RetryPolicy", "attempts");
  int overflow = 0;
  const long n = PyLong_AsLongAndOverflow(attempts, &overflow);
  if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0) {
    binder::wrong_value(attempts, "RetryPolicy", "attempts", texts::kAttempts);
  }
  return n;
}

double max_retry_after_of(py::handle retry) {
  // A host's own policy object may predate the setting: it gets the default.
  py::object value = py::getattr(retry, "max_retry_after", py::none());
  if (value.is_none()) return kDefaultMaxRetryAfter;
  return retry_seconds(value.ptr(), "max_retry_after");
}

namespace {

using pyutil::guarded;
using pyutil::parse_args;

constexpr const char* kFields[] = {"attempts", "backoff_base", "backoff_max", "jitter",
                                   "max_retry_after"};

PyObject* init(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    static const char* keywords[] = {"self",   "attempts",        "backoff_base", "backoff_max",
                                     "jitter", "max_retry_after", nullptr};
    PyObject* self = nullptr;
    PyObject* attempts = nullptr;
    PyObject* base = nullptr;
    PyObject* max = nullptr;
    PyObject* jitter = Py_True;
    PyObject* max_wait = nullptr;
    parse_args(args, kwargs, "O|OOOOO:RetryPolicy", keywords, &self, &attempts, &base, &max,
               &jitter, &max_wait);
    py::object a = attempts ? py::reinterpret_borrow<py::object>(attempts) : py::int_(3);
    attempt_count(a.ptr());  // refused here, not when a request runs
    py::object b = base ? py::float_(retry_seconds(base, "backoff_base")) : py::float_(0.5);
    py::object m = max ? py::float_(retry_seconds(max, "backoff_max")) : py::float_(30.0);
    py::object w = max_wait ? py::float_(retry_seconds(max_wait, "max_retry_after"))
                            : py::float_(kDefaultMaxRetryAfter);
    py::handle s(self);
    s.attr("attempts") = a;
    s.attr("backoff_base") = b;
    s.attr("backoff_max") = m;
    s.attr("jitter") = py::bool_(pyutil::truthy(jitter));
    s.attr("max_retry_after") = w;
    return py::none();
  });
}

py::object delay_for(py::object self, binder::Args args) {
  int overflow = 0;
  long long n = PyLong_AsLongLongAndOverflow(args[0].ptr(), &overflow);
  if (overflow != 0) n = overflow > 0 ? LLONG_MAX : LLONG_MIN;
  core::Backoff policy;
  policy.base = retry_seconds(self.attr("backoff_base").ptr(), "backoff_base");
  policy.max = retry_seconds(self.attr("backoff_max").ptr(), "backoff_max");
  policy.jitter = pyutil::truthy(self.attr("jitter"));
  // random.random is looked up at each draw, so a host may seed or replace it.
  const double r =
      policy.jitter ? py::module_::import("random").attr("random")().cast<double>() : 0.0;
  return py::float_(core::delay_for(policy, n, r));
}

const binder::Operation kPolicyOperations[] = {
    {"delay_for", {{"attempt", &binder::kCount}},
     "Seconds to wait after the failed attempt number `attempt` (counted from 1): "
     "backoff_base * 2**(attempt-1), capped at backoff_max, then spread.",
     nullptr, delay_for},
};

PyObject* repr(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    static const char* keywords[] = {"self", nullptr};
    PyObject* self = nullptr;
    parse_args(args, kwargs, "O:__repr__", keywords, &self);
    py::handle s(self);
    return py::str(
               "RetryPolicy(attempts={!r}, backoff_base={!r}, backoff_max={!r}, jitter={!r}, "
               "max_retry_after={!r})")
        .format(s.attr("attempts"), s.attr("backoff_base"), s.attr("backoff_max"),
                s.attr("jitter"), s.attr("max_retry_after"));
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
                       "jitter=True, max_retry_after=300.0)\n--\n\n"
                       "Retry settings: total attempts per request (the first one included), the "
                       "delay after the first failure, the cap of the exponential delay, "
                       "whether each delay is multiplied by a random factor in [0.5, 1.5), and "
                       "the longest wait a rate limit is waited out for (Retry-After, or "
                       "Meta's estimated_time_to_regain_access; a longer one raises the "
                       "RateLimitError at once). Seconds must be finite and not "
                       "negative, and attempts must fit a C long, else ValueError."),
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
  binder::add_methods<kPolicyOperations>(cls, "RetryPolicy");
  py::tuple fields = py::make_tuple("attempts", "backoff_base", "backoff_max", "jitter",
                                    "max_retry_after");
  cls.attr("__slots__", fields);
  cls.attr("__hash__", py::none());
  cls.attr("__match_args__", fields);
  return cls.build();
}

}  // namespace corvane::http
