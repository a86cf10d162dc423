// The wait a throttled answer gives: Retry-After (seconds) when it has one, else the longest
// estimated_time_to_regain_access (minutes) of Meta's X-Business-Use-Case-Usage header. Either
// is advice: a header that cannot be read gives no wait, never an error.
#include <optional>
#include <string>
#include <string_view>

#include "core/retry.hpp"
#include "core/usage.hpp"
#include "modules/http/internal.hpp"
#include "py/owned.hpp"
#include "py/values.hpp"

namespace corvane::http {

// The value of a response header, by name in any case; None when absent.
py::object header_value(py::handle headers, const char* wanted) {
  py::object value = headers.attr("get")(wanted);
  if (value.is_none() && PyDict_Check(headers.ptr())) {
    // A plain dict: header names still match without regard to case. Walked over a snapshot
    // of its items: str(name) may run a subclass's code that changes or empties the dict.
    for (py::handle item : pyutil::owned<py::list>(PyDict_Items(headers.ptr()))) {
      py::object name = item[py::int_(0)];
      if (PyUnicode_Check(name.ptr()) &&
          py::str(name).attr("lower")().equal(py::str(wanted).attr("lower")())) {
        value = item[py::int_(1)];
        break;
      }
    }
  }
  return value;
}

py::object retry_after_of(py::handle response) {
  py::object headers = response.attr("headers");
  // Retry-After when the answer has one; else the wait Meta gives, in minutes, per business
  // object (the longest one decides: a retry sooner would be refused again).
  const py::object retry_after = header_value(headers, "Retry-After");
  if (const auto text = pyutil::utf8_if_text(retry_after)) {
    if (const auto seconds = core::parse_retry_after(*text)) return py::float_(*seconds);
  }
  const py::object usage = header_value(headers, "X-Business-Use-Case-Usage");
  if (const auto text = pyutil::utf8_if_text(usage)) {
    if (const auto seconds = core::regain_access_seconds(*text)) return py::float_(*seconds);
  }
  return py::none();
}

}  // namespace corvane::http
