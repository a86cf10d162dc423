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

// The kinds of the constructor's settings: checked when the policy is made, not when a request
// runs.
py::object seconds_setting(py::handle value, const char*, const char* parameter) {
  return py::float_(retry_seconds(value.ptr(), parameter));
}
py::object attempts_setting(py::handle value, const char*, const char*) {
  attempt_count(value.ptr());
  return py::reinterpret_borrow<py::object>(value);
}
const binder::Kind kSeconds{"float", seconds_setting};
const binder::Kind kAttempts{"int", attempts_setting};

constexpr const char* kFields[] = {"attempts", "backoff_base", "backoff_max", "jitter",
                                   "max_retry_after"};

py::object init(py::object self, binder::Args args) {
  for (std::size_t i = 0; i < std::size(kFields); ++i) self.attr(kFields[i]) = args[i];
  self.attr("jitter") = py::bool_(pyutil::truthy(args[3]));
  return py::none();
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

py::object repr(py::object self, binder::Args) {
  return py::str(
             "RetryPolicy(attempts={!r}, backoff_base={!r}, backoff_max={!r}, jitter={!r}, "
             "max_retry_after={!r})")
      .format(self.attr("attempts"), self.attr("backoff_base"), self.attr("backoff_max"),
              self.attr("jitter"), self.attr("max_retry_after"));
}

py::object eq(py::object self, binder::Args args) {
  py::object other = args[0];
  if (!py::isinstance(other, py::type::of(self))) {
    return py::reinterpret_borrow<py::object>(Py_NotImplemented);
  }
  for (const char* field : kFields) {
    if (!self.attr(field).equal(other.attr(field))) return py::bool_(false);
  }
  return py::bool_(true);
}

const binder::Operation kPolicyOperations[] = {
    {.name = "__init__",
     .params = {{"attempts", &kAttempts, "3"}, {"backoff_base", &kSeconds, "0.5"},
                {"backoff_max", &kSeconds, "30.0"}, {"jitter", &binder::kAnything, "True"},
                {"max_retry_after", &kSeconds, "300.0"}},
     .doc = "Retry settings: total attempts per request (the first one included), the delay "
            "after the first failure, the cap of the exponential delay, whether each delay is "
            "multiplied by a random factor in [0.5, 1.5), and the longest wait a rate limit is "
            "waited out for (Retry-After, or Meta's estimated_time_to_regain_access; a longer "
            "one raises the RateLimitError at once). Seconds must be finite and not negative, "
            "and attempts must fit a C long, else ValueError.",
     .now = init,
     .caller = "RetryPolicy"},
    {"delay_for", {{"attempt", &binder::kCount}},
     "Seconds to wait after the failed attempt number `attempt` (counted from 1): "
     "backoff_base * 2**(attempt-1), capped at backoff_max, then spread.",
     nullptr, delay_for},
    {"__repr__", {}, nullptr, nullptr, repr},
    {"__eq__", {{"other", &binder::kAnything}}, nullptr, nullptr, eq},
};

}  // namespace

py::object make_retry_policy_class(const char* module) {
  pyutil::ClassBuilder cls(module, "RetryPolicy", py::make_tuple(),
                           "Retry settings of a client: attempts, back-off and spread.\n\n"
                           "With the defaults a request is tried at most three times, waiting "
                           "about 0.5 and 1 second between attempts.");
  binder::add_methods<kPolicyOperations>(cls, "RetryPolicy");
  py::tuple fields = py::make_tuple(kFields[0], kFields[1], kFields[2], kFields[3], kFields[4]);
  cls.attr("__slots__", fields);
  cls.attr("__hash__", py::none());
  cls.attr("__match_args__", fields);
  return cls.build();
}

}  // namespace corvane::http
