// Shared declarations of corvane.http's source files (the module is split by concern:
// session slot, request pipeline, pagination, retry policy).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pybind11/pybind11.h>

#include "bridge/runtime.hpp"
#include "core/pacing.hpp"
#include "py/binder.hpp"
#include "py/masking.hpp"
#include "py/pyclass.hpp"
#include "modules/http/texts.hpp"

namespace corvane::http {

namespace py = pybind11;
using bridge::Task;

// Module-level objects resolved once at import (kept for the life of the process).
struct ModuleState {
  pyutil::Immortal logger;        // logging.getLogger("corvane")
  pyutil::Immortal json_loads;    // json.loads
  pyutil::Immortal session_type;  // corvane.http._Session
  pyutil::Immortal retry_policy;  // corvane.http.RetryPolicy
  pyutil::Immortal retryable;     // RETRYABLE_STATUSES
  pyutil::Immortal raw_answer;    // corvane.http._RawAnswer
  pyutil::Immortal throttle_type;  // corvane.http.Throttle
  pyutil::Immortal pinned;        // weakref.WeakSet of sessions never replaced (_pin_session)
};
ModuleState& state();

// Session slot (session.cpp).
py::object make_session_class(const char* module);
extern const binder::MethodGroup add_session_methods;
Task<py::object> ensure_session(py::object self);
// The body of corvane.http._pin_session(session): a supplied session that, once closed, is
// refused rather than replaced (the sandbox's sessions: a client must not reach the real hosts
// after it stops).
py::object pin_session(py::object, binder::Args args);

// A hook of the client as attribute look-up finds it, and whether it is still the library's
// own method, the one whose C function is `own` (not replaced by a subclass or on the
// instance). The pipeline runs its own hooks directly, without a Python call and coroutine
// per request, and anything else through `bound`.
struct Hook {
  py::object bound;
  bool own;
};
Hook hook(py::handle self, py::handle name, PyCFunction own);
// The C function behind BaseClient._ensure_session (session.cpp).
PyCFunction ensure_session_entry();

// The client's own logger ("corvane.facebook", ...) (session.cpp).
py::object client_logger(py::handle self);

// Throttle (throttle.cpp): the class, BaseClient.usage (the snapshot of the client's throttle),
// and the pacing of one request.
py::object make_throttle_class();
bool is_throttle(py::handle object);
extern const binder::MethodGroup add_usage_property;

// One request's pacing through its client's Throttle; does nothing when the client's throttle
// is None. Lives in the request's frame: leaving it, however, gives back what the request held.
class RequestPacing {
 public:
  // `token`: gives the request's access token, asked for only when a budget is near its limit.
  RequestPacing(py::handle client, std::function<std::string()> token);
  ~RequestPacing();
  RequestPacing(const RequestPacing&) = delete;
  RequestPacing& operator=(const RequestPacing&) = delete;
  // Before an attempt: nullopt when it may go now, else the seconds to sleep before asking
  // again. Raises RateLimitError (nothing sent, `url` masked in it) when the wait would pass
  // the `retry` policy's max_retry_after.
  std::optional<double> admit(py::handle client, py::handle retry, std::string_view url);
  // An answer came (any status): its usage headers are recorded, and what the request held
  // is given back. `url`: the request's URL (the ad account of X-Ad-Account-Usage).
  void answered(py::handle client, py::handle response, std::string_view url);
  // A throttle error answered the request, which now waits `seconds` (or gives up): the app
  // (`app_wide`) or the token's own budget is blocked as long, unless the answer's figures
  // already blocked one of the token's budgets.
  void throttled(py::handle client, bool app_wide, double seconds);
  // The request waits `seconds` before its next attempt (a rate limit's wait).
  void waiting(double seconds);

 private:
  // What the last attempt held, given back: its place among the requests in flight, its slots.
  void give_back();
  core::TokenPrint print_;
  py::object throttle_;
  std::vector<core::PaceKey> held_;
  bool sent_ = false;
  double waited_until_ = 0;  // when the last wait for a block ended (steady clock)
};

// A keyword-only parameter of the client's operations: any value, None unless given (the
// options of a request, the params of a Graph list); `kind` and `fallback` for the others.
constexpr binder::Param option(const char* name, const binder::Kind* kind = &binder::kAnything,
                               const char* fallback = "None") {
  return {name, kind, fallback, true};
}

// Request pipeline (pipeline.cpp).
extern const binder::MethodGroup add_pipeline_methods;

// Whether `text` is `lower` (lower case ASCII) in any case: header names, charsets, methods.
inline bool same_in_any_case(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != lower[i]) return false;
  }
  return true;
}

// A response header's value by name in any case, or None (wait.cpp).
py::object header_value(py::handle headers, const char* wanted);

// The wait a throttled answer gives, in seconds, or None (wait.cpp); http._retry_after.
py::object retry_after_of(py::handle response);

// Answers that are not JSON. A 2xx answer whose body is not JSON is
// returned by request() as a _RawAnswer: a dict {"raw": text} that also records the status
// and the masked URL. require_json(client, answer) returns `answer` unchanged unless it is a
// _RawAnswer, for which it raises ApiError ("... is not JSON", provider, status, url,
// payload) instead: an operation that reads members must not take an HTML page for "none".
// (answer.cpp; BaseClient._require_json is the same check for other modules.)
py::object make_raw_answer_class(const char* module);
py::object require_json(py::handle client, py::object answer);
extern const binder::MethodGroup add_answer_methods;

// Failures of the HTTP layer (failure.cpp). The secrets of a request and the masking of an
// error's message and payload are shared with the Graph clients' batch (py/masking.hpp).
using pyutil::mask_message;
using pyutil::mask_payload;
using pyutil::masked_text;
using pyutil::Secrets;
// True for the failures the pipeline turns into TransportError.
bool is_transport_failure(const py::error_already_set& e);
// True when the failure certainly happened before anything was sent (no connection).
bool nothing_was_sent(py::handle failure);
// The TransportError for `failure`: masked message, `url`, and a masked stand-in as cause.
py::object transport_error(py::handle failure, const std::string& masked_url,
                           const Secrets& secrets);

// Pagination (paginate.cpp).
extern const binder::MethodGroup add_paginate_method;
// The caller's access_token of a walk's first query (a str), or None.
py::object walk_token(py::handle query);
// The query params for following a paging link: {"access_token": token} when the link carries
// no access_token of its own and the walk has one, else None. The link itself goes out as the
// platform wrote it (the Graph clients' _sign_url adds the proof).
py::object link_params(py::handle link, py::handle token);

// Lists that stream (iterate.cpp).
extern const binder::MethodGroup add_iterate_methods;

// Retry policy (retry.cpp).
py::object make_retry_policy_class(const char* module);
constexpr double kDefaultMaxRetryAfter = 300.0;
// `value` as seconds of a wait: a finite number, not negative; else TypeError/ValueError
// naming the setting.
double retry_seconds(PyObject* value, const char* name);
// A policy's attempts as a C long; TypeError for a non-integer, ValueError past a long.
long attempt_count(PyObject* attempts);
// The policy's max_retry_after (the default when the object has none).
double max_retry_after_of(py::handle retry);

}  // namespace corvane::http
