// corvane.http: BaseClient (session slot, request pipeline, pagination), RetryPolicy,
// RETRYABLE_STATUSES and _retry_after. Also the owner of the coroutine type every module's
// asynchronous operations share.
#include <pybind11/pybind11.h>

#include "modules/http/internal.hpp"
#include "py/owned.hpp"
#include "py/values.hpp"

namespace corvane::http {

ModuleState& state() {
  static ModuleState s;
  return s;
}

namespace {

constexpr const char* kModuleDoc = R"doc(Transport core of corvane.

BaseClient is the base class of the Facebook, Instagram and LinkedIn clients: one HTTP session
per client (created lazily, closed only if the client created it), the request pipeline with
retries and back-off, mapping of error responses to corvane.errors kinds, and Graph cursor
pagination. RetryPolicy holds the retry settings. Log lines go to the logger "corvane".

aiohttp is imported when a client is first constructed, not when this module is imported.
)doc";

constexpr const char* kClientDoc = R"doc(Base of the provider clients.

Use it as a scope (``async with client:``), which creates the session on entry and closes it
on exit, or keep it and ``await client.close()`` yourself. A session passed as ``session=`` is
used but never closed. A session the client created itself belongs to the event loop it was
created on: used from another loop (a second ``asyncio.run``), the client leaves it and creates
a new one. Subclasses add credentials through ``_auth_params``/``_auth_headers`` (or per call),
read their platform's error bodies in ``_parse_error`` and name the error kind of a status,
code and subcode in ``_error_kind``.

Retries follow ``retry`` (a RetryPolicy). GET and DELETE are retried after a transport failure
and after a retryable error response. A POST is retried only when it certainly took no effect:
the connection could not be made (nothing was sent), or the platform refused it as a rate limit
(RateLimitError). After a 5xx answer, a time-out or a connection lost once the request may have
gone out, a POST fails at once: the platform has no idempotency key, and a replay could publish
the same post twice (or present a single-use code a second time).
)doc";

py::object retry_after(py::object, binder::Args args) { return retry_after_of(args[0]); }

// Awaits `awaitable` inside two nested C++ frames; an error of kind `catch` is returned as
// ("caught", error) instead of raised. Diagnostic for the coroutine bridge.
Task<py::object> relay_inner(py::object awaitable) { co_return co_await awaitable; }
Task<py::object> relay(py::object, binder::Args args) {
  try {
    co_return co_await relay_inner(args[0]);
  } catch (py::error_already_set& e) {
    if (args[1].is_none() || !e.matches(args[1])) throw;
    co_return py::make_tuple("caught", e.value());
  }
}

const binder::Operation kFunctions[] = {
    {"_retry_after", {{"response", &binder::kAnything}},
     "The response's Retry-After header as a number of seconds, or None when it is missing or "
     "is not a finite decimal number (an HTTP date, for instance).",
     nullptr, retry_after},
    {"_pin_session", {{"session", &binder::kAnything}},
     "Marks a supplied session that a client must never replace once it is closed: a request "
     "then raises ConfigurationError instead of reaching the real hosts with a session of the "
     "client's own. The sandbox pins the sessions it hands out. Returns the session.",
     nullptr, pin_session},
    {"_relay", {{"awaitable", &binder::kAnything}, {"catch", &binder::kAnything, "None"}},
     "Awaits `awaitable` inside nested C++ frames (a diagnostic of the coroutine bridge).",
     relay},
};

}  // namespace
}  // namespace corvane::http

PYBIND11_MODULE(http, m) {
  using namespace corvane;
  using namespace corvane::http;
  m.doc() = kModuleDoc;
  bridge::install_bridge(m);

  ModuleState& s = state();
  s.logger = pyutil::Immortal(pyutil::logger("corvane"));
  s.json_loads = pyutil::Immortal(py::module_::import("json").attr("loads"));
  py::module_::import("corvane.errors");

  // Each public object is also kept for the C++ code that makes or checks its instances.
  auto publish = [&m](const char* name, pyutil::Immortal& kept, py::object value) {
    kept = pyutil::Immortal(value);
    m.attr(name) = value;
  };
  publish("RetryPolicy", s.retry_policy, make_retry_policy_class("corvane.http"));
  publish("RETRYABLE_STATUSES", s.retryable,
          pyutil::owned(PyFrozenSet_New(py::make_tuple(429, 500, 502, 503, 504).ptr())));
  publish("_RawAnswer", s.raw_answer, make_raw_answer_class("corvane.http"));
  publish("Throttle", s.throttle_type, make_throttle_class());
  publish("_Session", s.session_type, make_session_class("corvane.http"));

  pyutil::ClassBuilder client("corvane.http", "BaseClient", py::make_tuple(), kClientDoc);
  client.attr("provider", py::str("unknown"));
  binder::add_groups(client, {add_session_methods, add_pipeline_methods, add_paginate_method,
                              add_iterate_methods, add_answer_methods, add_usage_property});
  m.attr("BaseClient") = client.build();

  s.pinned = pyutil::Immortal(py::module_::import("weakref").attr("WeakSet")());
  binder::add_functions<kFunctions>(m);
}
