// LinkedIn's errors: the error of an error answer (_parse_error, with LinkedIn's own rules: the
// body's fields, the kind by status, the daily quota's reset, the warning of a retired
// version), and the ApiError of a success whose body has the wrong shape.
#include <chrono>
#include <cmath>
#include <string>

#include "core/mask.hpp"
#include "modules/linkedin/internal.hpp"

namespace corvane::linkedin {
namespace {

const char* kind_for(long status) {
  switch (status) {
    case 429: return "RateLimitError";
    case 401: return "AuthError";
    case 403: return "PermissionError";
    case 404: return "NotFoundError";
    default: return "ApiError";  // 400, 426 (a sunset LinkedIn-Version), 5xx, ...
  }
}

// The pipeline hands this hook whatever status and body the server gave: they take any value.
py::object parse_error(py::object self, binder::Args args) {
  const py::object& status = args[0];
  const py::object& body = args[1];
  py::object message = py::str(texts::kStatusOnly).format(status);
  py::object code = py::none();
  if (PyDict_Check(body.ptr())) {
    for (const char* name : {"message", "error_description", "error"}) {
      py::object candidate = member(body, name);
      if (truthy(candidate)) {
        message = candidate;
        break;
      }
    }
    code = member(body, "serviceErrorCode");
    // Errors of the gateway in front of the API (426 for a retired version) carry only a
    // text code, such as "NONEXISTENT_VERSION".
    if (code.is_none()) code = member(body, "code");
  }
  // 0 for anything that is not a plain int in range.
  const long number = pyutil::whole_number(status).value_or(0);
  if (number == 426) {
    // A 426 fails every REST call until the host changes its version: say which one was sent
    // and where it is set, once per refused request.
    state().log("warning", texts::kRetiredVersion, py::getattr(self, "api_version", py::none()),
                pyutil::text_form(message));
  }
  py::dict fields;
  fields["provider"] = "linkedin";
  fields["status"] = status;
  fields["code"] = code;
  fields["payload"] = body;
  // LinkedIn's limits are daily quotas, per app and per member, that start again at 00:00
  // UTC; a 429 that names no Retry-After (the pipeline reads that header) has spent one.
  if (number == 429) {
    const std::chrono::duration<double> now = std::chrono::system_clock::now().time_since_epoch();
    fields["retry_after"] = py::float_(86400.0 - std::fmod(now.count(), 86400.0));
  }
  return pyutil::make_error(kind_for(number), pyutil::text_form(message), fields);
}

const binder::Kind kAnyStatus{"int", binder::kAnything.convert};
const binder::Kind kAnyBody{"_JSON", binder::kAnything.convert};

// A hook, not an operation: its parameters refuse nothing, so it stays out of _OPERATIONS,
// whose test holds every parameter to refuse a wrong type.
const binder::Operation kErrorHooks[] = {
    {"_parse_error",
     {{"status", &kAnyStatus}, {"body", &kAnyBody}},
     "The error object (not raised) for a LinkedIn error answer: the message is the body's "
     "message, error_description or error (else 'HTTP <status>'), the code its "
     "serviceErrorCode, else its code ('NONEXISTENT_VERSION'); a 426 (a retired "
     "LinkedIn-Version) also logs a warning naming the version sent. 429 RateLimitError, 401 "
     "AuthError, 403 PermissionError, 404 NotFoundError, every other status ApiError.",
     nullptr, parse_error},
};

}  // namespace

void add_error_methods(pyutil::ClassBuilder& cls) {
  binder::add_methods<kErrorHooks>(cls, "LinkedIn");
}

py::object error_with_url(py::handle self, py::handle status, py::handle body, py::handle url) {
  py::object error = self.attr(pyutil::name<"_parse_error">())(status, body);
  error.attr("url") = py::str(core::mask_secrets(pyutil::utf8(py::str(url))));
  return error;
}

void bad_answer(const char* operation, const char* what, const char* wanted, py::handle value,
                py::handle answer) {
  py::dict fields;
  fields["provider"] = "linkedin";
  fields["payload"] = answer;
  pyutil::raise_error("ApiError",
                      py::str(texts::kBadAnswer)
                          .format(operation, what, wanted, Py_TYPE(value.ptr())->tp_name),
                      fields);
}

py::dict object_answer(py::handle answer, const char* operation) {
  if (!PyDict_Check(answer.ptr())) {
    bad_answer(operation, texts::kAnswer, texts::kObject, answer, answer);
  }
  return py::reinterpret_borrow<py::dict>(answer);
}

}  // namespace corvane::linkedin
