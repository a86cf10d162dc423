// The request pipeline of BaseClient: one request with retries, body decoding, error mapping.
//
// Rules, in the order a request meets them:
//  1. the session is obtained once per call; every attempt uses it;
//  2. query parameters come from _auth_params; null members are dropped (the Graph API would
//     read a null sent as text as an invalid parameter); they are appended, encoded, to the
//     query the URL already carries, which reaches the wire byte for byte as given;
//  3. a status below 400 is a success and returns the decoded body;
//  4. an error response becomes an error kind (_parse_error) and is retried while attempts
//     remain and _is_retryable holds, waiting Retry-After (rate limits) or the back-off; a
//     Retry-After beyond the policy's max_retry_after is not waited: the error leaves at once;
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
#include "core/retry.hpp"
#include "http_internal.hpp"
#include "py/errors.hpp"
#include "py/saved_error.hpp"
#include "py/values.hpp"

namespace corvane::http {
namespace {

using pyutil::guarded;
using pyutil::parse_args;

// ---- query and form values ----

// The text a query or form value goes out as: booleans as the Graph API spells them, numbers in
// decimal, lists and objects as compact JSON, text unchanged.
py::str wire_text(py::handle value) {
  if (PyUnicode_Check(value.ptr())) return py::reinterpret_borrow<py::str>(value);
  if (PyBool_Check(value.ptr())) return py::str(value.ptr() == Py_True ? "true" : "false");
  if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr()) || PyDict_Check(value.ptr())) {
    return state().json_dumps.get()(value, py::arg("separators") = py::make_tuple(",", ":"),
                                    py::arg("ensure_ascii") = false);
  }
  return pyutil::text_form(value);
}

// The (name, value) pairs of a dict, each held strongly: wire_text may run a value's __str__,
// which must not be able to free what is read next.
py::list items_of(const py::dict& mapping) {
  auto items = py::reinterpret_steal<py::list>(PyDict_Items(mapping.ptr()));
  if (!items) throw py::error_already_set();
  return items;
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
  py::object upper = method.attr("upper")();
  return pyutil::utf8(upper) != "POST";
}

// ---- the HTTP exchange ----

// Releases a response's connection when the attempt leaves, however it leaves.
struct ReleaseOnExit {
  bridge::Rooted<> response;
  ~ReleaseOnExit() {
    if (!response) return;
    pyutil::SavedError saved;
    PyObject* out = PyObject_CallMethod(response.ptr(), "release", nullptr);
    if (out == nullptr) PyErr_WriteUnraisable(response.ptr());
    Py_XDECREF(out);
  }
};

struct Reply {
  long status = 0;
  bridge::Rooted<> body;
  bridge::Rooted<> response;
};

Task<Reply> send_once(py::object self, py::object session, py::str method, py::object url,
                      py::object json, py::object data, py::dict headers) {
  bridge::Rooted<py::dict> options;
  if (!json.is_none()) options["json"] = json;
  if (!data.is_none()) options["data"] = form_fields(data);
  if (!headers.empty()) options["headers"] = headers;
  py::object context = session.attr("request")(method, url, **options);
  py::object response = co_await std::move(context);
  ReleaseOnExit release{std::move(response)};
  py::object reading = self.attr("_read")(release.response);
  Reply reply;
  reply.body = co_await std::move(reading);
  reply.status = release.response.attr("status").cast<long>();
  reply.response = release.response;
  co_return reply;
}

py::object yarl_url(const std::string& url) {
  static pyutil::Immortal url_type;
  if (!url_type) url_type = pyutil::Immortal(py::module_::import("yarl").attr("URL"));
  // encoded=True: percent-escapes already in the URL (paging cursors, URNs) go out unchanged.
  return url_type.get()(py::str(url), py::arg("encoded") = true);
}

Task<py::object> request_task(py::object self, py::str method, py::str url, py::object params,
                              py::object json, py::object data, py::object headers) {
  if (!json.is_none() && !data.is_none()) {
    throw py::value_error("request: give at most one of json and data");
  }
  const std::string url_text(pyutil::utf8(url));
  const std::string masked_url = core::mask_secrets(url_text);
  py::object ensuring = self.attr("_ensure_session")();
  const bridge::Rooted<> session = co_await std::move(ensuring);
  const bridge::Rooted<py::dict> query = without_nulls(self.attr("_auth_params")(params));
  const bridge::Rooted<py::dict> header_map = pyutil::copy_dict(self.attr("_auth_headers")(headers));
  const std::string wire_url_text = append_query(url_text, encode_query(query));
  const bridge::Rooted<> wire_url = yarl_url(wire_url_text);
  const Secrets secrets(wire_url_text, header_map, data);
  const bool replayable = replays_safely(method);

  const bridge::Rooted<> retry = self.attr("retry");
  const long attempts = attempt_count(py::object(retry.attr("attempts")).ptr());
  bridge::Rooted<> last_failure;
  for (long attempt = 1; attempt <= attempts; ++attempt) {
    std::optional<Reply> reply;
    bridge::Rooted<> failure;  // the HTTP layer's exception, when the attempt failed there
    try {
      reply = co_await send_once(self, session, method, wire_url, json, data, header_map);
    } catch (py::error_already_set& e) {
      if (!is_transport_failure(e)) throw;
      failure = e.value();
    }

    if (!reply) {
      bridge::Rooted<> error = transport_error(failure, masked_url, secrets);
      last_failure = error;
      if (attempt < attempts && (replayable || nothing_was_sent(failure))) {
        const double backoff = retry.attr("delay_for")(attempt).cast<double>();
        co_await bridge::sleep(backoff);
        continue;
      }
      pyutil::raise(error);
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
    mask_message(error, secrets);
    const bool rate_limited = pyutil::is_kind(error, "RateLimitError");
    if (rate_limited) error.attr("retry_after") = retry_after_of(reply->response);
    if (attempt < attempts && (replayable || rate_limited) &&
        pyutil::truthy(self.attr("_is_retryable")(error))) {
      py::object wait = error.attr("retry_after");
      const bool server_said = rate_limited && !wait.is_none() && pyutil::truthy(wait);
      // A wait longer than the policy allows is left to the host, which can schedule it.
      if (server_said && wait.cast<double>() > max_retry_after_of(retry)) pyutil::raise(error);
      const double delay = server_said ? wait.cast<double>()
                                       : retry.attr("delay_for")(attempt).cast<double>();
      state().logger.get().attr("warning")("%s %s -> %s; %.1fs dan keyin qayta urinish (%s/%s)",
                                           method, masked(url_text), reply->status, delay,
                                           attempt, attempts);
      last_failure = error;
      if (delay > 0) co_await bridge::sleep(delay);
      continue;
    }
    pyutil::raise(error);
  }
  if (last_failure) pyutil::raise(last_failure);
  py::dict fields;
  fields["provider"] = self.attr("provider");
  fields["url"] = masked(url_text);
  pyutil::raise_error("ApiError", py::str("Noma'lum xato"), fields);
}

// ---- body decoding ----

bool decode_failed_with(PyObject* kind) {
  if (!PyErr_ExceptionMatches(kind)) return false;
  PyErr_Clear();
  return true;
}

// The body as text in its declared charset (UTF-8 when it declares none or one Python does not
// know); nullopt when its bytes are invalid in that charset.
std::optional<py::str> decode_text(const py::bytes& raw, py::handle charset) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  PyBytes_AsStringAndSize(raw.ptr(), &data, &size);
  std::string encoding = "utf-8";
  if (PyUnicode_Check(charset.ptr()) && PyUnicode_GetLength(charset.ptr()) > 0) {
    Py_ssize_t length = 0;
    const char* name = PyUnicode_AsUTF8AndSize(charset.ptr(), &length);
    if (name != nullptr) {
      encoding.assign(name, static_cast<std::size_t>(length));
    } else {
      PyErr_Clear();  // lone surrogates: no codec has such a name
    }
  }
  PyObject* text = PyUnicode_Decode(data, size, encoding.c_str(), "strict");
  if (text == nullptr && decode_failed_with(PyExc_LookupError)) {
    encoding = "utf-8";  // unknown (or non-text) codec
    text = PyUnicode_Decode(data, size, encoding.c_str(), "strict");
  }
  if (text != nullptr) return py::reinterpret_steal<py::str>(text);
  if (!decode_failed_with(PyExc_UnicodeDecodeError)) throw py::error_already_set();
  return std::nullopt;
}

// {"raw": text}, as a _RawAnswer: the pipeline records status and URL on it for a success.
py::object raw_body(py::handle text) {
  py::object out = state().raw_answer.get()();
  out[py::str("raw")] = text;
  return out;
}

Task<py::object> read_task(py::object response) {
  py::object raw = co_await response.attr("read")();
  if (!PyBytes_Check(raw.ptr())) raw = py::bytes(raw);
  std::optional<py::str> text = decode_text(raw, response.attr("charset"));
  if (!text) {
    // Bytes invalid in the charset: the text with replacement characters, never an exception.
    char* data = nullptr;
    Py_ssize_t size = 0;
    PyBytes_AsStringAndSize(raw.ptr(), &data, &size);
    py::object charset = response.attr("charset");
    const char* encoding = PyUnicode_Check(charset.ptr()) ? PyUnicode_AsUTF8(charset.ptr()) : "utf-8";
    if (encoding == nullptr) {  // a charset with lone surrogates names no codec
      PyErr_Clear();
      encoding = "utf-8";
    }
    PyObject* replaced = PyUnicode_Decode(data, size, encoding, "replace");
    if (replaced == nullptr) {
      PyErr_Clear();
      replaced = PyUnicode_DecodeUTF8(data, size, "replace");
    }
    if (replaced == nullptr) throw py::error_already_set();
    co_return raw_body(py::reinterpret_steal<py::str>(replaced));
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

// ---- error parsing (the Graph error format) ----

bool is_integer(py::handle value) {
  return PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr());
}

bool code_in(py::handle code, std::initializer_list<long> codes) {
  if (!is_integer(code)) return false;
  int overflow = 0;
  const long c = PyLong_AsLongAndOverflow(code.ptr(), &overflow);
  if (overflow != 0) return false;
  for (long known : codes) {
    if (c == known) return true;
  }
  return false;
}

bool code_between(py::handle code, long low, long high) {
  if (!is_integer(code)) return false;
  int overflow = 0;
  const long c = PyLong_AsLongAndOverflow(code.ptr(), &overflow);
  return overflow == 0 && c >= low && c <= high;
}

bool status_is(py::handle status, long wanted) { return code_in(status, {wanted}); }

// The first rule that holds decides; a code of an earlier rule wins over the status.
const char* kind_for(py::handle status, py::handle code) {
  if (code_in(code, {4, 17, 32, 613}) || status_is(status, 429)) return "RateLimitError";
  if (code_in(code, {190, 102}) || status_is(status, 401)) return "AuthError";
  if (code_in(code, {10}) || code_between(code, 200, 299) || status_is(status, 403)) {
    return "PermissionError";
  }
  if (code_in(code, {803}) || status_is(status, 404)) return "NotFoundError";
  return "ApiError";
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
    } else if (PyDict_Contains(body.ptr(), py::str("message").ptr()) == 1) {
      message = pyutil::text_form(pyutil::member(body, "message"));
    }
  }
  py::dict fields;
  fields["provider"] = py::getattr(self, "provider", py::str("unknown"));
  fields["status"] = status;
  fields["code"] = code;
  fields["subcode"] = subcode;
  fields["payload"] = body;
  return pyutil::make_error(kind_for(status, code), message, fields);
}

// ---- methods ----

const char* const kRequestKeywords[] = {"self", "method", "url", "params", "json", "data",
                                        "headers", nullptr};
const char* const kVerbKeywords[] = {"self", "url", "params", "json", "data", "headers", nullptr};

py::str text_argument(PyObject* value, const char* name) {
  if (!PyUnicode_Check(value)) {
    throw py::type_error(std::string(name) + " must be a str, not " + Py_TYPE(value)->tp_name);
  }
  return py::reinterpret_borrow<py::str>(value);
}

PyObject* request_method(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    PyObject *self = nullptr, *method = nullptr, *url = nullptr;
    PyObject *params = Py_None, *json = Py_None, *data = Py_None, *headers = Py_None;
    parse_args(args, kwargs, "OOO|$OOOO:request", kRequestKeywords, &self, &method, &url,
               &params, &json, &data, &headers);
    auto own = [](PyObject* o) { return py::reinterpret_borrow<py::object>(o); };
    return bridge::as_coroutine(
        request_task(own(self), text_argument(method, "method"), text_argument(url, "url"),
                     own(params), own(json), own(data), own(headers)),
        "BaseClient.request");
  });
}

// get/post/delete go through self.request, so a subclass's request sees every call.
PyObject* verb(const char* name, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    PyObject *self = nullptr, *url = nullptr;
    PyObject *params = Py_None, *json = Py_None, *data = Py_None, *headers = Py_None;
    const std::string format = std::string("OO|$OOOO:") + name;
    parse_args(args, kwargs, format.c_str(), kVerbKeywords, &self, &url, &params, &json, &data,
               &headers);
    std::string upper(name);
    for (auto& c : upper) c = static_cast<char>(c - 'a' + 'A');
    return py::handle(self).attr("request")(
        py::str(upper), py::handle(url), py::arg("params") = py::handle(params),
        py::arg("json") = py::handle(json), py::arg("data") = py::handle(data),
        py::arg("headers") = py::handle(headers));
  });
}
PyObject* get_method(PyObject*, PyObject* a, PyObject* k) { return verb("get", a, k); }
PyObject* post_method(PyObject*, PyObject* a, PyObject* k) { return verb("post", a, k); }
PyObject* delete_method(PyObject*, PyObject* a, PyObject* k) { return verb("delete", a, k); }

// A copy of the mapping, or an empty dict: the pipeline filters what it gets.
PyObject* copy_hook(PyObject* args, PyObject* kwargs, const char* format, const char* name) {
  return guarded([&]() -> py::object {
    const char* keywords[] = {"self", name, nullptr};
    PyObject *self = nullptr, *mapping = Py_None;
    parse_args(args, kwargs, format, keywords, &self, &mapping);
    return pyutil::copy_dict(mapping);
  });
}
PyObject* auth_params(PyObject*, PyObject* a, PyObject* k) {
  return copy_hook(a, k, "O|O:_auth_params", "params");
}
PyObject* auth_headers(PyObject*, PyObject* a, PyObject* k) {
  return copy_hook(a, k, "O|O:_auth_headers", "headers");
}

PyObject* parse_error_method(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "status", "body", nullptr};
    PyObject *self = nullptr, *status = nullptr, *body = nullptr;
    parse_args(args, kwargs, "OOO:_parse_error", keywords, &self, &status, &body);
    return parse_error(self, status, body);
  });
}

PyObject* read_method(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"cls", "response", nullptr};
    PyObject *cls = nullptr, *response = nullptr;
    parse_args(args, kwargs, "OO:_read", keywords, &cls, &response);
    return bridge::as_coroutine(read_task(py::reinterpret_borrow<py::object>(response)),
                                "BaseClient._read");
  });
}

PyObject* is_retryable_method(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    static const char* keywords[] = {"cls", "error", nullptr};
    PyObject *cls = nullptr, *error = nullptr;
    parse_args(args, kwargs, "OO:_is_retryable", keywords, &cls, &error);
    if (pyutil::is_kind(error, "RateLimitError")) return py::bool_(true);
    py::object status = py::getattr(error, "status", py::none());
    if (!is_integer(status)) return py::bool_(false);
    return py::bool_(PySet_Contains(state().retryable.get().ptr(), status.ptr()) == 1);
  });
}

PyMethodDef methods[] = {
    pyutil::method_def(
        "request", request_method,
        "request(self, method, url, *, params=None, json=None, data=None, headers=None)\n--\n\n"
        "Sends one API call with retries and returns the decoded JSON body of the first "
        "successful response (None for an empty body, {'raw': text} for one that is not "
        "JSON). params: query parameters (None values dropped), appended to the URL's own "
        "query; json: a JSON body; data: a form body; headers: per-request headers. Error "
        "responses raise the matching corvane.errors kind; unreachable servers raise "
        "TransportError."),
    pyutil::method_def("get", get_method,
                       "get(self, url, *, params=None, json=None, data=None, headers=None)\n--\n\n"
                       "request('GET', url, ...)."),
    pyutil::method_def("post", post_method,
                       "post(self, url, *, params=None, json=None, data=None, headers=None)\n--\n"
                       "\nrequest('POST', url, ...)."),
    pyutil::method_def("delete", delete_method,
                       "delete(self, url, *, params=None, json=None, data=None, headers=None)\n--"
                       "\n\nrequest('DELETE', url, ...)."),
    pyutil::method_def("_auth_params", auth_params,
                       "_auth_params(self, params=None)\n--\n\n"
                       "The query parameters to send, as a new dict (hook for subclasses)."),
    pyutil::method_def("_auth_headers", auth_headers,
                       "_auth_headers(self, headers=None)\n--\n\n"
                       "The headers to send, as a new dict (hook for subclasses)."),
    pyutil::method_def("_parse_error", parse_error_method,
                       "_parse_error(self, status, body)\n--\n\n"
                       "The error object for an error response, read in the Graph error format."),
};

PyMethodDef class_methods[] = {
    pyutil::method_def("_read", read_method,
                       "_read(cls, response)\n--\n\n"
                       "The decoded body of a response: JSON in the declared charset (UTF-8 "
                       "otherwise); None when empty; {'raw': text} when not JSON."),
    pyutil::method_def("_is_retryable", is_retryable_method,
                       "_is_retryable(cls, error)\n--\n\n"
                       "True for a RateLimitError, and for errors whose status is in "
                       "RETRYABLE_STATUSES."),
};

}  // namespace

py::object retry_after_of(py::handle response) {
  py::object headers = response.attr("headers");
  py::object value = headers.attr("get")("Retry-After");
  if (value.is_none() && PyDict_Check(headers.ptr())) {
    // A plain dict: header names still match without regard to case. Walked over a snapshot
    // of its items: str(name) may run a subclass's code that changes or empties the dict.
    py::list items = py::reinterpret_steal<py::list>(PyDict_Items(headers.ptr()));
    if (!items) throw py::error_already_set();
    for (py::handle item : items) {
      py::object name = item[py::int_(0)];
      if (PyUnicode_Check(name.ptr()) &&
          py::str(name).attr("lower")().equal(py::str("retry-after"))) {
        value = item[py::int_(1)];
        break;
      }
    }
  }
  if (!PyUnicode_Check(value.ptr())) return py::none();
  const auto seconds = core::parse_retry_after(pyutil::utf8(value));
  if (!seconds) return py::none();
  return py::float_(*seconds);
}

PyObject* retry_after_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"response", nullptr};
    PyObject* response = nullptr;
    parse_args(args, kwargs, "O:_retry_after", keywords, &response);
    return retry_after_of(response);
  });
}

void add_pipeline_methods(pyutil::ClassBuilder& client) {
  for (auto& def : methods) client.method(&def);
  for (auto& def : class_methods) client.class_method(&def);
}

}  // namespace corvane::http
