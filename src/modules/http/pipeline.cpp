// The request pipeline of BaseClient: one request with retries, body decoding, error mapping.
//
// Rules, in the order a request meets them:
//  1. the session is obtained once per call; every attempt uses it;
//  2. query parameters come from _auth_params; null members are dropped (the Graph API would
//     read a null sent as text as an invalid parameter); they are appended, encoded, to the
//     query the URL already carries, which reaches the wire byte for byte as given, after
//     _sign_url (the Graph clients put the appsecret_proof of the URL's token in it);
//  3. a status below 400 is a success and returns the decoded body;
//  4. an error response becomes an error kind (_parse_error) and is retried while attempts
//     remain and _is_retryable holds, waiting the platform's wait (rate limits: Retry-After,
//     else the longest estimated_time_to_regain_access of X-Business-Use-Case-Usage) or the
//     back-off; a wait beyond the policy's max_retry_after is not waited: the error leaves at
//     once;
//  5. an HTTP-layer failure or an expired timeout becomes a TransportError and is retried
//     (without a log line) while attempts remain;
//  6. a POST is retried only when it certainly took no effect: the connection could not be
//     made, or the platform refused it as a rate limit. The Graph API has no idempotency key,
//     so a POST replayed after a 5xx or a connection lost mid-request may publish twice;
//  7. anything else, a failing hook or a cancellation included, leaves at once, unchanged.
// Secrets never leave through diagnostics: error URLs and messages, the retry log line and
// everything a TransportError shows (message, url, cause) are masked.
#include <optional>
#include <string>

#include "core/mask.hpp"
#include "core/percent.hpp"
#include "core/query.hpp"
#include "modules/http/internal.hpp"
#include "py/errors.hpp"
#include "py/json_decode.hpp"
#include "py/names.hpp"
#include "py/owned.hpp"
#include "py/release_on_exit.hpp"
#include "py/values.hpp"

namespace corvane::http {
namespace {

// Raises a TransportError with its masked stand-in as context too: on 3.10 the HTTP layer's own
// exception can still be the one being handled when it is raised, and would become its context,
// frames and secrets with it.
[[noreturn]] void raise_transport(py::handle error) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  PyException_SetContext(error.ptr(), PyException_GetCause(error.ptr()));
  throw py::error_already_set();
}

// ---- query and form values ----

using pyutil::wire_text;

// The (name, value) pairs of a dict, each held strongly: wire_text may run a value's __str__,
// which must not be able to free what is read next.
py::list items_of(const py::dict& mapping) {
  return pyutil::owned<py::list>(PyDict_Items(mapping.ptr()));
}

// The members of `params` (already without nulls) as an encoded query: name=value&...
std::string encode_query(const py::dict& params) {
  std::string query;
  for (py::handle item : items_of(params)) {
    if (!query.empty()) query.push_back('&');
    const py::str name = wire_text(py::object(item[py::int_(0)]));
    const py::str value = wire_text(py::object(item[py::int_(1)]));
    core::percent_encode_into(query, pyutil::utf8(name));
    query.push_back('=');
    core::percent_encode_into(query, pyutil::utf8(value));
  }
  return query;
}

// `url` with `query` appended to the query it already carries (before any fragment).
std::string append_query(std::string_view url, const std::string& query) {
  if (query.empty()) return std::string(url);
  const auto hash = url.find('#');
  const std::string_view head = url.substr(0, hash);
  std::string out(head);
  if (head.find('?') == std::string_view::npos) {
    out.push_back('?');
  } else if (out.back() != '?' && out.back() != '&') {
    out.push_back('&');
  }
  out += query;
  if (hash != std::string_view::npos) out.append(url.substr(hash));
  return out;
}

py::dict without_nulls(py::handle mapping) {
  py::dict out;
  for (auto [name, value] : py::reinterpret_borrow<py::dict>(pyutil::copy_dict(mapping))) {
    if (!value.is_none()) out[name] = value;
  }
  return out;
}

// The query of a request from what _auth_params returned: a new dict of its own, which the
// pipeline may keep as it is when no member is null (the common case: no second copy).
py::dict query_of(py::object params) {
  if (!PyDict_CheckExact(params.ptr())) return without_nulls(params);
  PyObject *name, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(params.ptr(), &pos, &name, &value)) {
    if (value == Py_None) return without_nulls(params);
  }
  return py::reinterpret_steal<py::dict>(params.release());
}

py::dict form_fields(py::handle data) {
  py::dict out;
  for (py::handle item : items_of(without_nulls(data))) {
    out[wire_text(py::object(item[py::int_(0)]))] = wire_text(py::object(item[py::int_(1)]));
  }
  return out;
}

py::str masked(std::string_view url) { return py::str(core::mask_secrets(url)); }

// Only a POST creates something that a replay would create again.
bool replays_safely(const py::str& method) {
  return !same_in_any_case(pyutil::utf8(method), "post");
}

// The access token a request counts against: the Graph API's access_token member of the URL
// (the caller's, or the one a paging link carries), else a bearer Authorization header.
std::string request_token(const std::string& wire_url, const py::dict& headers) {
  if (auto token = core::query_value(wire_url, "access_token")) return std::move(*token);
  PyObject* value = PyDict_GetItemString(headers.ptr(), "Authorization");
  auto bearer = value == nullptr ? std::nullopt : pyutil::utf8_if_text(value);
  if (!bearer) return {};
  if (bearer->substr(0, 7) == "Bearer ") bearer->remove_prefix(7);
  return std::string(*bearer);
}

// The Graph API's code 4 is the app's own limit: every token of the app waits for it.
bool app_wide_throttle(py::handle error) {
  return pyutil::whole_number(py::getattr(error, "code", py::none())) == 4;
}

// ---- the HTTP exchange ----

Task<py::object> read_task(py::object response);

// The client's methods (the table at the end of this file), by row.
enum Row : std::size_t {
  kRequestRow, kGetRow, kPostRow, kDeleteRow, kAuthParamsRow, kAuthHeadersRow, kSignUrlRow,
  kParseErrorRow, kErrorKindRow, kReadRow, kIsRetryableRow, kRows
};
extern const binder::Operation kMethods[kRows];

// The C function behind row I: what look-up finds when no subclass replaced the hook.
template <std::size_t I>
PyCFunction own() {
  return binder::entry_of<kMethods, I>();
}

using pyutil::ReleaseOnExit;

struct Reply {
  long status = 0;
  bridge::Rooted<> body;
  bridge::Rooted<> response;
};

// `form`: the form body as sent (form_fields), or None.
Task<Reply> send_once(py::object self, py::object session, py::str method, py::object url,
                      py::object json, py::object form, py::dict headers) {
  bridge::Rooted<py::dict> options;
  if (!json.is_none()) options[pyutil::name<"json">()] = json;
  if (!form.is_none()) options[pyutil::name<"data">()] = form;
  if (!headers.empty()) options[pyutil::name<"headers">()] = headers;
  py::object context;
  {
    py::object request = session.attr(pyutil::name<"request">());
    context = pyutil::owned(PyObject_Call(request.ptr(), py::make_tuple(method, url).ptr(),
                                          options.empty() ? nullptr : options.ptr()));
  }
  py::object response = co_await std::move(context);
  ReleaseOnExit release{std::move(response)};
  Reply reply;
  Hook read = hook(self, pyutil::name<"_read">(), own<kReadRow>());
  if (read.own) {
    read.bound = py::object();
    reply.body = co_await read_task(release.response);
  } else {
    // The awaitable, moved below.
    read.bound = pyutil::owned(PyObject_CallOneArg(read.bound.ptr(), release.response.ptr()));
    reply.body = co_await std::move(read.bound);
  }
  reply.status = release.response.attr(pyutil::name<"status">()).cast<long>();
  reply.response = release.response;
  co_return reply;
}

py::object yarl_url(const std::string& url) {
  static pyutil::Immortal url_type;
  if (!url_type) url_type = pyutil::Immortal(py::module_::import("yarl").attr("URL"));
  // encoded=True: percent-escapes already in the URL (paging cursors, URNs) go out unchanged.
  static PyObject* const keywords = Py_BuildValue("(s)", "encoded");
  if (keywords == nullptr) throw py::error_already_set();
  py::str text(url);
  PyObject* args[] = {text.ptr(), Py_True};
  return pyutil::owned(PyObject_Vectorcall(url_type.get().ptr(), args, 1, keywords));
}

Task<py::object> request_task(py::object self, py::str method, py::str url, py::object params,
                              py::object json, py::object data, py::object headers,
                              bool idempotent) {
  if (!json.is_none() && !data.is_none()) {
    throw py::value_error(texts::kOneBody);
  }
  const std::string url_text(pyutil::utf8(url));
  // The base versions of _auth_params/_auth_headers return a copy of their argument.
  auto call_hook = [&](py::handle name, PyCFunction own, py::handle argument) {
    Hook found = hook(self, name, own);
    if (found.own) return py::object(pyutil::copy_dict(argument));
    return pyutil::owned(PyObject_CallOneArg(found.bound.ptr(), argument.ptr()));
  };
  bridge::Rooted<> session;
  {
    Hook ensure = hook(self, pyutil::name<"_ensure_session">(), ensure_session_entry());
    if (ensure.own) {
      ensure.bound = py::object();
      session = co_await ensure_session(self);
    } else {
      ensure.bound = pyutil::owned(PyObject_CallNoArgs(ensure.bound.ptr()));
      session = co_await std::move(ensure.bound);
    }
  }
  const bridge::Rooted<py::dict> query =
      query_of(call_hook(pyutil::name<"_auth_params">(), own<kAuthParamsRow>(), params));
  py::object returned_headers =
      call_hook(pyutil::name<"_auth_headers">(), own<kAuthHeadersRow>(), headers);
  const bridge::Rooted<py::dict> header_map =
      PyDict_CheckExact(returned_headers.ptr())
          ? py::reinterpret_steal<py::dict>(returned_headers.release())
          : pyutil::copy_dict(returned_headers);
  std::string wire_url_text = append_query(url_text, encode_query(query));
  {
    Hook sign = hook(self, pyutil::name<"_sign_url">(), own<kSignUrlRow>());
    if (!sign.own) {
      py::object signed_url = sign.bound(py::str(wire_url_text));
      if (!PyUnicode_Check(signed_url.ptr())) {
        throw py::type_error(texts::kSignedUrl + std::string(Py_TYPE(signed_url.ptr())->tp_name));
      }
      wire_url_text = pyutil::utf8(signed_url);
    }
  }
  const bridge::Rooted<> wire_url = yarl_url(wire_url_text);
  // The form as every attempt sends it, and as secrets are looked for in it.
  const bridge::Rooted<> form =
      data.is_none() ? py::object(py::none()) : py::object(form_fields(data));
  // idempotent: a POST that only reads (a Graph batch of GET operations) replays safely.
  const bool replayable = idempotent || replays_safely(method);

  const bridge::Rooted<> retry = self.attr(pyutil::name<"retry">());
  const long attempts = attempt_count(py::object(retry.attr(pyutil::name<"attempts">())).ptr());
  // Asked for only when a budget is near its limit: the token the request counts against.
  RequestPacing pacing(self, [&wire_url_text, &header_map] {
    return request_token(wire_url_text, header_map);
  });
  bridge::Rooted<> last_failure;
  for (long attempt = 1; attempt <= attempts; ++attempt) {
    while (const auto wait = pacing.admit(self, retry, url_text)) {
      co_await bridge::sleep(*wait);
    }
    std::optional<Reply> reply;
    bridge::Rooted<> failure;  // the HTTP layer's exception, when the attempt failed there
    try {
      reply = co_await send_once(self, session, method, wire_url, json, form, header_map);
    } catch (py::error_already_set& e) {
      if (!is_transport_failure(e)) throw;
      failure = e.value();
    }
    if (reply) pacing.answered(self, reply->response, url_text);

    if (!reply) {
      // Masked only now: a request that succeeds never needs it.
      bridge::Rooted<> error = transport_error(failure, core::mask_secrets(url_text),
                                               Secrets(wire_url_text, header_map, form));
      last_failure = error;
      if (attempt < attempts && (replayable || nothing_was_sent(failure))) {
        const double backoff = retry.attr("delay_for")(attempt).cast<double>();
        co_await bridge::sleep(backoff);
        continue;
      }
      raise_transport(error);
    }

    if (reply->status < 400) {
      if (Py_IS_TYPE(reply->body.ptr(), reinterpret_cast<PyTypeObject*>(
                                            state().raw_answer.get().ptr()))) {
        reply->body.attr("status") = py::int_(reply->status);
        reply->body.attr("url") = masked(pyutil::utf8(py::str(reply->response.attr("url"))));
      }
      co_return std::move(reply->body);
    }

    bridge::Rooted<> error = self.attr("_parse_error")(reply->status, reply->body);
    pyutil::require_exception(error, "_parse_error");
    error.attr("url") = masked(pyutil::utf8(py::str(reply->response.attr("url"))));
    // Platforms and proxies may quote the request back in an error answer.
    {
      const Secrets secrets(wire_url_text, header_map, form);
      mask_message(error, secrets);
      mask_payload(error, secrets);
    }
    const bool rate_limited = pyutil::is_kind(error, "RateLimitError");
    if (rate_limited) {
      // The answer's own wait. An answer without Retry-After keeps what the client's
      // _parse_error found (LinkedIn: a spent daily quota, until 00:00 UTC).
      py::object told = retry_after_of(reply->response);
      if (!told.is_none() || !PyObject_HasAttrString(error.ptr(), "retry_after") ||
          !header_value(reply->response.attr("headers"), "Retry-After").is_none()) {
        error.attr("retry_after") = told;
      }
    }
    const bool retrying = attempt < attempts && (replayable || rate_limited) &&
                          pyutil::truthy(self.attr("_is_retryable")(error));
    if (rate_limited) {
      // The token's other requests wait as long as this one does (or as the platform said).
      py::object told = error.attr("retry_after");
      double seconds = !told.is_none() && pyutil::truthy(told) ? told.cast<double>() : 0.0;
      if (seconds == 0 && retrying) seconds = retry.attr("delay_for")(attempt).cast<double>();
      pacing.throttled(self, app_wide_throttle(error), seconds);
    }
    if (retrying) {
      py::object wait = error.attr("retry_after");
      const bool server_said = rate_limited && !wait.is_none() && pyutil::truthy(wait);
      // A wait longer than the policy allows is left to the host, which can schedule it.
      if (server_said && wait.cast<double>() > max_retry_after_of(retry)) pyutil::raise(error);
      const double delay = server_said ? wait.cast<double>()
                                       : retry.attr("delay_for")(attempt).cast<double>();
      client_logger(self).attr("warning")(texts::kRetrying, method, masked(url_text),
                                           reply->status, delay, attempt, attempts);
      last_failure = error;
      if (rate_limited) pacing.waiting(delay);
      if (delay > 0) co_await bridge::sleep(delay);
      continue;
    }
    pyutil::raise(error);
  }
  if (last_failure) raise_transport(last_failure);
  pyutil::raise_error("ApiError", py::str(texts::kUnknownError),
                      py::dict(py::arg("provider") = self.attr("provider"),
                               py::arg("url") = masked(url_text)));
}

// ---- body decoding ----

bool decode_failed_with(PyObject* kind) {
  if (!PyErr_ExceptionMatches(kind)) return false;
  PyErr_Clear();
  return true;
}

// The body as text in its declared charset (UTF-8 when it declares none or one Python does not
// know), decoded with `errors` ("strict", "replace"); nullopt when the codec refused its bytes.
std::optional<py::str> decode_text(const py::bytes& raw, py::handle charset, const char* errors) {
  const char* data = PyBytes_AS_STRING(raw.ptr());
  const Py_ssize_t size = PyBytes_GET_SIZE(raw.ptr());
  // Lone surrogates (no UTF-8 form): no codec has such a name.
  const auto name = pyutil::utf8_if_text(charset);
  const std::string encoding(name && !name->empty() ? *name : "utf-8");
  PyObject* text = PyUnicode_Decode(data, size, encoding.c_str(), errors);
  if (text == nullptr && decode_failed_with(PyExc_LookupError)) {
    text = PyUnicode_Decode(data, size, "utf-8", errors);  // unknown (or non-text) codec
  }
  if (text != nullptr) return py::reinterpret_steal<py::str>(text);
  // Not only UnicodeDecodeError: some codecs (idna, punycode before 3.13) refuse bytes with
  // a bare UnicodeError.
  if (!decode_failed_with(PyExc_UnicodeError)) throw py::error_already_set();
  return std::nullopt;
}

// {"raw": text}, as a _RawAnswer: the pipeline records status and URL on it for a success.
py::object raw_body(py::handle text) {
  py::object out = state().raw_answer.get()();
  out[py::str("raw")] = text;
  return out;
}

// True when the body's bytes are read as UTF-8: no charset declared, or UTF-8 by name.
bool read_as_utf8(py::handle charset) {
  if (charset.is_none()) return true;
  const auto name = pyutil::utf8_if_text(charset);
  if (!name) return false;
  return name->empty() || same_in_any_case(*name, "utf-8") || same_in_any_case(*name, "utf8");
}

// Whether an aiohttp response's body is read as UTF-8, told from its Content-Type header where
// that is plain (no header, no charset, or charset=utf-8 alone): aiohttp's own `charset`
// parses the header anew for every response, which costs more than decoding a small body.
// nullopt when the header is anything else, or the response is not aiohttp's own: `charset`
// decides then.
std::optional<bool> declared_utf8(py::handle response) {
  static PyObject* response_type = nullptr;  // aiohttp.ClientResponse, once aiohttp is loaded
  if (response_type == nullptr) {
    PyObject* module = PyImport_GetModule(pyutil::name<"aiohttp">().ptr());
    if (module == nullptr) {
      if (PyErr_Occurred()) PyErr_Clear();
      return std::nullopt;
    }
    response_type = PyObject_GetAttrString(module, "ClientResponse");  // kept for good
    Py_DECREF(module);
    if (response_type == nullptr) {
      PyErr_Clear();
      return std::nullopt;
    }
  }
  if (reinterpret_cast<PyObject*>(Py_TYPE(response.ptr())) != response_type) return std::nullopt;
  py::object headers = response.attr(pyutil::name<"headers">());
  const py::object type = pyutil::owned(PyObject_CallMethodOneArg(
      headers.ptr(), pyutil::name<"get">().ptr(), pyutil::name<"Content-Type">().ptr()));
  if (type.is_none()) return true;
  if (!PyUnicode_IS_ASCII(type.ptr())) return std::nullopt;
  std::string plain;  // lower case, without blanks
  for (char c : pyutil::utf8(type)) {
    if (c == ' ' || c == '\t') continue;
    plain.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  }
  const auto first = plain.find("charset");
  if (first == std::string::npos) return true;
  if (plain.find("charset", first + 1) != std::string::npos) return std::nullopt;
  for (std::string_view tail : {";charset=utf-8", ";charset=\"utf-8\"", ";charset=utf8"}) {
    if (plain.ends_with(tail) && plain.size() - tail.size() + 1 == first) return true;
  }
  return std::nullopt;
}

Task<py::object> read_task(py::object response) {
  py::object reading =
      pyutil::owned(PyObject_CallMethodNoArgs(response.ptr(), pyutil::name<"read">().ptr()));
  py::object raw = co_await std::move(reading);
  if (!PyBytes_Check(raw.ptr())) raw = py::bytes(raw);
  std::optional<bool> utf8 = declared_utf8(response);
  py::object charset;
  if (!utf8) {
    charset = response.attr(pyutil::name<"charset">());
    utf8 = read_as_utf8(charset);
  }
  if (*utf8) {
    // The fast decoder answers exactly as json.loads would, or declines and the text path
    // below decides (empty bodies, non-JSON, big integers, NaN and the like).
    py::object decoded = pyutil::decode_json(std::string_view(
        PyBytes_AS_STRING(raw.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(raw.ptr()))));
    if (decoded) co_return decoded;
  }
  if (!charset) charset = response.attr(pyutil::name<"charset">());
  std::optional<py::str> text = decode_text(raw, charset, "strict");
  if (!text) {
    // Bytes invalid in the charset: the text with replacement characters, never an exception
    // (a codec that refuses bytes even so, such as idna, gives way to UTF-8).
    text = decode_text(raw, charset, "replace");
    if (!text) text = decode_text(raw, py::none(), "replace");
    co_return raw_body(*text);
  }
  if (!pyutil::truthy(text->attr("strip")())) co_return py::none();
  try {
    co_return state().json_loads.get()(*text);
  } catch (py::error_already_set& e) {
    // Not JSON (or nested beyond what the decoder takes): kept as text.
    if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_RecursionError)) throw;
  }
  co_return raw_body(*text);
}

// ---- error parsing (the Graph error format; the kind comes from _error_kind) ----

// BaseClient's own rule: the HTTP status alone. A platform's client reads its codes in its
// own _error_kind (the Graph clients: graph_errors.cpp).
const char* status_kind(py::handle status) {
  switch (pyutil::whole_number(status).value_or(0)) {
    case 429: return "RateLimitError";
    case 401: return "AuthError";
    case 403: return "PermissionError";
    case 404: return "NotFoundError";
    default: return "ApiError";
  }
}

// The name of the error class, from the client's _error_kind: run here when it is the
// library's own, called when a subclass replaced it (only error answers pay for the call).
std::string kind_of(py::handle self, py::handle status, py::handle code, py::handle subcode) {
  Hook kind = hook(self, pyutil::name<"_error_kind">(), own<kErrorKindRow>());
  if (kind.own) return status_kind(status);
  py::object name = kind.bound(status, code, subcode);
  if (!PyUnicode_Check(name.ptr())) {
    throw py::type_error(texts::kErrorKind + std::string(Py_TYPE(name.ptr())->tp_name));
  }
  return std::string(pyutil::utf8(name));
}

py::object parse_error(py::handle self, py::handle status, py::handle body) {
  py::object message = py::str("HTTP {}").format(status);
  py::object code = py::none();
  py::object subcode = py::none();
  if (PyDict_Check(body.ptr())) {
    py::object error = pyutil::member(body, "error");
    if (PyDict_Check(error.ptr())) {
      py::object user_msg = pyutil::member(error, "error_user_msg");
      py::object msg = pyutil::member(error, "message");
      if (pyutil::truthy(user_msg)) {
        message = pyutil::text_form(user_msg);
      } else if (pyutil::truthy(msg)) {
        message = pyutil::text_form(msg);
      }
      code = pyutil::member(error, "code");
      subcode = pyutil::member(error, "error_subcode");
    } else if (PyUnicode_Check(error.ptr())) {
      py::object description = pyutil::member(body, "error_description");
      message = pyutil::truthy(description) ? pyutil::text_form(description) : error;
    } else {
      if (pyutil::dict_has(body, "message")) {
        message = pyutil::text_form(pyutil::member(body, "message"));
      }
    }
  }
  const py::dict fields(py::arg("provider") = py::getattr(self, "provider", py::str("unknown")),
                        py::arg("status") = status, py::arg("code") = code,
                        py::arg("subcode") = subcode, py::arg("payload") = body);
  return pyutil::make_error(kind_of(self, status, code, subcode).c_str(), message, fields);
}

// ---- methods ----

// `op`: the method the caller used (request, get, post, delete), for the argument messages.
py::object start_request(const char* op, py::object self, py::handle method, py::handle url,
                         py::object params, py::object json, py::object data, py::object headers,
                         bool idempotent = false) {
  return bridge::as_coroutine(
      request_task(std::move(self), binder::text(method, op, "method"),
                   binder::text(url, op, "url"), std::move(params), std::move(json),
                   std::move(data), std::move(headers), idempotent),
      "BaseClient.request");
}

py::object request_now(py::object self, binder::Args args) {
  return start_request("request", std::move(self), args[0], args[1], args[2], args[3], args[4],
                       args[5], pyutil::truthy(args[6]));
}

// get/post/delete go through self.request, so a subclass's request sees every call.
template <pyutil::Literal Op, pyutil::Literal Method>
py::object verb_now(py::object self, binder::Args args) {
  Hook request = hook(self, pyutil::name<"request">(), own<kRequestRow>());
  if (request.own) {
    return start_request(Op.text, std::move(self), pyutil::name<Method>(), args[0], args[1], args[2], args[3],
                         args[4]);
  }
  static PyObject* const keywords = Py_BuildValue("(ssss)", "params", "json", "data", "headers");
  if (keywords == nullptr) throw py::error_already_set();
  PyObject* const* given = PySequence_Fast_ITEMS(args.ptr());  // url, params, json, data, headers
  PyObject* call[] = {pyutil::name<Method>().ptr(), given[0], given[1], given[2], given[3], given[4]};
  return pyutil::owned(PyObject_Vectorcall(request.bound.ptr(), call, 2, keywords));
}

// The base hooks: a copy of the mapping, or an empty dict (the pipeline filters what it gets).
py::object copy_now(py::object, binder::Args args) { return pyutil::copy_dict(args[0]); }

py::object sign_url_now(py::object, binder::Args args) { return args[0]; }

py::object parse_error_now(py::object self, binder::Args args) {
  return parse_error(self, args[0], args[1]);
}

py::object error_kind_now(py::object, binder::Args args) { return py::str(status_kind(args[0])); }

Task<py::object> read_body(py::object, binder::Args args) { return read_task(args[0]); }

py::object is_retryable_now(py::object, binder::Args args) {
  py::handle error = args[0];
  if (pyutil::is_kind(error, "RateLimitError")) return py::bool_(true);
  py::object status = py::getattr(error, "status", py::none());
  if (!pyutil::whole_number(status)) return py::bool_(false);
  return py::bool_(PySet_Contains(state().retryable.get().ptr(), status.ptr()) == 1);
}

const std::vector<binder::Param> kVerbParams = {
    {"url", &binder::kAnything}, option("params"), option("json"), option("data"),
    option("headers")};

const binder::Operation kMethods[kRows] = {
    {"request",
     {{"method", &binder::kAnything}, {"url", &binder::kAnything}, option("params"),
      option("json"), option("data"), option("headers"),
      option("idempotent", &binder::kAnything, "False")},
     "Sends one API call with retries and returns the decoded JSON body of the first "
     "successful response (None for an empty body, {'raw': text} for one that is not "
     "JSON). params: query parameters (None values dropped), appended to the URL's own "
     "query; json: a JSON body; data: a form body; headers: per-request headers; idempotent: "
     "a POST that only reads (a Graph batch of GET operations), retried as a GET would be. Error "
     "responses raise the matching corvane.errors kind; unreachable servers raise "
     "TransportError.",
     nullptr, request_now},
    {"get", kVerbParams, "request('GET', url, ...).", nullptr,
     verb_now<"get", "GET">},
    {"post", kVerbParams, "request('POST', url, ...).", nullptr,
     verb_now<"post", "POST">},
    {"delete", kVerbParams, "request('DELETE', url, ...).", nullptr,
     verb_now<"delete", "DELETE">},
    {"_auth_params", {{"params", &binder::kAnything, "None"}},
     "The query parameters to send, as a new dict (hook for subclasses).", nullptr, copy_now},
    {"_auth_headers", {{"headers", &binder::kAnything, "None"}},
     "The headers to send, as a new dict (hook for subclasses).", nullptr, copy_now},
    {"_sign_url", {{"url", &binder::kText}},
     "The URL to send, query included (hook for subclasses: the Graph clients put the "
     "appsecret_proof of its access_token in it). Returns url.",
     nullptr, sign_url_now},
    {"_parse_error", {{"status", &binder::kAnything}, {"body", &binder::kAnything}},
     "The error object for an error response, read in the Graph error format; its class is "
     "the one _error_kind names.",
     nullptr, parse_error_now},
    {"_error_kind",
     {{"status", &binder::kAnything}, {"code", &binder::kAnything},
      {"subcode", &binder::kAnything}},
     "The name of the corvane.errors class of an error response (hook for subclasses: the "
     "Graph clients read the body's code and subcode). By the HTTP status alone: 429 "
     "RateLimitError, 401 AuthError, 403 PermissionError, 404 NotFoundError, else ApiError.",
     nullptr, error_kind_now},
    {.name = "_read",
     .params = {{"response", &binder::kAnything}},
     .doc = "The decoded body of a response: JSON in the declared charset (UTF-8 otherwise); "
            "None when empty; {'raw': text} when not JSON.",
     .task = read_body,
     .as = binder::Operation::As::class_method},
    {.name = "_is_retryable",
     .params = {{"error", &binder::kAnything}},
     .doc = "True for a RateLimitError, and for errors whose status is in RETRYABLE_STATUSES.",
     .now = is_retryable_now,
     .as = binder::Operation::As::class_method},
};

}  // namespace

const binder::MethodGroup add_pipeline_methods = binder::group<kMethods, "BaseClient">;

}  // namespace corvane::http
