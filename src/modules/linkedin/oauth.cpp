// LinkedIn sign-in and identity: request headers, LinkedIn's error bodies, the sign-in link,
// the token calls (code exchange, refresh, introspection) and the OpenID profile.
#include <chrono>
#include <cmath>
#include <string>

#include "core/percent.hpp"
#include "modules/graph_client.hpp"
#include "modules/linkedin/internal.hpp"
#include "py/errors.hpp"
#include "py/values.hpp"

namespace corvane::linkedin {
namespace {

using pyutil::guarded;
using pyutil::member;
using pyutil::truthy;

py::object self_of(PyObject* self) { return py::reinterpret_borrow<py::object>(self); }

py::object endpoint(const char* name) { return state().endpoints.get().attr(name)(); }

// ---- _headers ----

py::dict headers_for(py::handle self, py::handle token, py::handle extra) {
  py::dict out;
  out["X-Restli-Protocol-Version"] = "2.0.0";
  out["LinkedIn-Version"] = self.attr("api_version");
  if (truthy(token)) out["Authorization"] = py::str("Bearer ") + py::str(token);
  if (extra && !extra.is_none()) out.attr("update")(extra);
  return out;
}

PyObject* headers_method(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    static const char* keywords[] = {"self", "token", "extra", nullptr};
    PyObject *self = nullptr, *token = Py_None, *extra = Py_None;
    pyutil::parse_args(args, kwargs, "O|OO:_headers", keywords, &self, &token, &extra);
    return headers_for(self, text_or_none(token, "_headers", "token"), extra);
  });
}

// The headers of a REST or userinfo call, through the client's own _headers.
py::object rest_headers(py::handle self, py::handle token) {
  return self.attr("_headers")(token);
}

// ---- _parse_error ----

// The status as a number, 0 for anything that is not a plain int in range.
long status_number(py::handle status) {
  if (!PyLong_Check(status.ptr()) || PyBool_Check(status.ptr())) return 0;
  int overflow = 0;
  const long s = PyLong_AsLongAndOverflow(status.ptr(), &overflow);
  if (s == -1 && PyErr_Occurred()) throw py::error_already_set();
  return overflow != 0 ? 0 : s;
}

double seconds_to_utc_midnight() {
  const double now = std::chrono::duration<double>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  return 86400.0 - std::fmod(now, 86400.0);
}

const char* kind_for(long status) {
  switch (status) {
    case 429: return "RateLimitError";
    case 401: return "AuthError";
    case 403: return "PermissionError";
    case 404: return "NotFoundError";
    default: return "ApiError";  // 400, 426 (a sunset LinkedIn-Version), 5xx, ...
  }
}

// A 426 fails every REST call until the host changes its version: say which one was sent and
// where it is set, once per refused request.
void warn_retired_version(py::handle self, py::handle message) {
  state().logger.get().attr("warning")(
      "LinkedIn refused LinkedIn-Version %r (%s): pass api_version= to LinkedIn() or set "
      "LINKEDIN_API_VERSION to a version LinkedIn still serves (YYYYMM, about the last 12 "
      "months)",
      py::getattr(self, "api_version", py::none()), pyutil::text_form(message));
}

PyObject* parse_error_method(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    static const char* keywords[] = {"self", "status", "body", nullptr};
    PyObject *self = nullptr, *status = nullptr, *body = nullptr;
    pyutil::parse_args(args, kwargs, "OOO:_parse_error", keywords, &self, &status, &body);
    py::object message = py::str("HTTP {}").format(py::handle(status));
    py::object code = py::none();
    if (PyDict_Check(body)) {
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
    const long number = status_number(status);
    if (number == 426) warn_retired_version(self, message);
    py::dict fields;
    fields["provider"] = "linkedin";
    fields["status"] = py::handle(status);
    fields["code"] = code;
    fields["payload"] = py::handle(body);
    // LinkedIn's limits are daily quotas, per app and per member, that start again at 00:00
    // UTC; a 429 that names no Retry-After (the pipeline reads that header) has spent one.
    if (number == 429) fields["retry_after"] = py::float_(seconds_to_utc_midnight());
    return pyutil::make_error(kind_for(number), pyutil::text_form(message), fields);
  });
}

// ---- login_url, person_urn ----

void append_pair(std::string& query, const char* name, py::handle value) {
  if (!query.empty()) query.push_back('&');
  core::percent_encode_into(query, name);
  query.push_back('=');
  core::percent_encode_into(query, pyutil::utf8(value));
}

PyObject* login_url(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    static const char* keywords[] = {"self", "redirect_uri", "state", "scopes", nullptr};
    PyObject *self = nullptr, *redirect_uri = nullptr, *state_arg = Py_None, *scopes = Py_None;
    pyutil::parse_args(args, kwargs, "OO|$OO:login_url", keywords, &self, &redirect_uri,
                       &state_arg, &scopes);
    py::handle client(self);
    if (!truthy(client.attr("client_id"))) {
      // A client from from_env() with LINKEDIN_CLIENT_ID unset gets here: say where the id
      // comes from, beside the message.
      py::object error = pyutil::make_error("ConfigurationError",
                                            py::str("LinkedIn uchun `client_id` majburiy"));
      graph::add_note(error, "pass client_id= to LinkedIn(), or set the environment variable "
                             "LINKEDIN_CLIENT_ID (and LINKEDIN_CLIENT_SECRET) for "
                             "LinkedIn.from_env()");
      pyutil::raise(error);
    }
    py::str redirect = text(redirect_uri, "login_url", "redirect_uri");
    py::object state_text = text_or_none(state_arg, "login_url", "state");
    py::list wanted = text_list(scopes, "login_url", "scopes");
    py::list chosen = PyList_GET_SIZE(wanted.ptr()) > 0
                          ? wanted
                          : text_list(client.attr("scopes"), "login_url", "self.scopes");

    std::string query;
    append_pair(query, "response_type", py::str("code"));
    append_pair(query, "client_id", text(client.attr("client_id"), "login_url", "client_id"));
    append_pair(query, "redirect_uri", redirect);
    append_pair(query, "scope", py::str(" ").attr("join")(chosen));
    if (truthy(state_text)) append_pair(query, "state", state_text);
    std::string url(pyutil::utf8(py::str(endpoint("authorization"))));
    url.push_back('?');
    url += query;
    return py::str(url);
  });
}

PyObject* person_urn_method(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    static const char* keywords[] = {"sub", nullptr};
    PyObject* sub = nullptr;
    pyutil::parse_args(args, kwargs, "O:person_urn", keywords, &sub);
    return person_urn(text(sub, "person_urn", "sub"));
  });
}

// ---- token calls ----

py::dict form_headers() {
  py::dict headers;
  headers["Content-Type"] = "application/x-www-form-urlencoded";
  return headers;
}

// The bundle of a token answer, or the ApiError `message` carrying the whole answer.
py::object bundle_of(py::handle answer, const char* message) {
  py::object token = member(answer, "access_token");
  if (!truthy(token) || !PyUnicode_Check(token.ptr())) {
    py::dict fields;
    fields["provider"] = "linkedin";
    fields["payload"] = answer;
    pyutil::raise_error("ApiError", py::str(message), fields);
  }
  return state().token_bundle.get().attr("from_response")(answer);
}

Task<py::object> token_call_task(py::object self, py::dict form, const char* message) {
  py::object asking = self.attr("request")("POST", endpoint("access_token"),
                                           py::arg("data") = form,
                                           py::arg("headers") = form_headers());
  py::object answer = co_await std::move(asking);
  co_return bundle_of(answer, message);
}

PyObject* exchange_code(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "code", "redirect_uri", nullptr};
    PyObject *self = nullptr, *code = nullptr, *redirect_uri = nullptr;
    pyutil::parse_args(args, kwargs, "OOO:exchange_code", keywords, &self, &code, &redirect_uri);
    py::handle client(self);
    py::dict form;  // the order LinkedIn documents
    form["grant_type"] = "authorization_code";
    form["code"] = text(code, "exchange_code", "code");
    form["client_id"] = client.attr("client_id");
    form["client_secret"] = client.attr("client_secret");
    form["redirect_uri"] = text(redirect_uri, "exchange_code", "redirect_uri");
    return bridge::as_coroutine(token_call_task(self_of(self), form, "LinkedIn token bermadi"),
                                "LinkedIn.exchange_code");
  });
}

PyObject* refresh(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "refresh_token", nullptr};
    PyObject *self = nullptr, *refresh_token = nullptr;
    pyutil::parse_args(args, kwargs, "OO:refresh", keywords, &self, &refresh_token);
    py::handle client(self);
    py::dict form;
    form["grant_type"] = "refresh_token";
    form["refresh_token"] = text(refresh_token, "refresh", "refresh_token");
    form["client_id"] = client.attr("client_id");
    form["client_secret"] = client.attr("client_secret");
    return bridge::as_coroutine(token_call_task(self_of(self), form, "Token yangilanmadi"),
                                "LinkedIn.refresh");
  });
}

Task<py::object> introspect_task(py::object self, py::dict form) {
  py::object asking = self.attr("request")("POST", endpoint("introspect"),
                                           py::arg("data") = form,
                                           py::arg("headers") = form_headers());
  py::object answer = co_await std::move(asking);
  co_return object_or_none(answer, "introspect");
}

PyObject* introspect(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "token", nullptr};
    PyObject *self = nullptr, *token = nullptr;
    pyutil::parse_args(args, kwargs, "OO:introspect", keywords, &self, &token);
    py::handle client(self);
    py::dict form;
    form["token"] = text(token, "introspect", "token");
    form["client_id"] = client.attr("client_id");
    form["client_secret"] = client.attr("client_secret");
    return bridge::as_coroutine(introspect_task(self_of(self), form), "LinkedIn.introspect");
  });
}

// ---- me ----

// The language of an OpenID locale: {"language": "en", ...}, "en_US", "en-US" (LinkedIn's own
// sample) or a bare "uz".
py::object language_of(py::handle locale) {
  if (PyDict_Check(locale.ptr())) return member(locale, "language");
  if (PyUnicode_Check(locale.ptr())) {
    // Searched by code point: a locale need not encode to UTF-8 (a lone surrogate).
    const Py_ssize_t length = PyUnicode_GetLength(locale.ptr());
    Py_ssize_t cut = length;
    for (const Py_UCS4 mark : {Py_UCS4('_'), Py_UCS4('-')}) {
      const Py_ssize_t at = PyUnicode_FindChar(locale.ptr(), mark, 0, cut, 1);
      if (at == -2) throw py::error_already_set();
      if (at >= 0) cut = at;
    }
    if (cut < length) {
      if (PyObject* head = PyUnicode_Substring(locale.ptr(), 0, cut)) {
        return py::reinterpret_steal<py::object>(head);
      }
      throw py::error_already_set();
    }
  }
  return py::reinterpret_borrow<py::object>(locale);
}

py::object full_name_of(py::handle info) {
  py::object name = member(info, "name");
  if (truthy(name)) return name;
  py::list parts;
  for (const char* part : {"given_name", "family_name"}) {
    py::object value = member(info, part);
    if (truthy(value)) parts.append(value);
  }
  return py::str(" ").attr("join")(parts);
}

// The userinfo answer as the profile needs it: an object with a non-empty "sub"; the texts
// that become the profile's fields are str or absent, the locale an object, a str or absent.
void check_userinfo(py::handle info) {
  if (!PyDict_Check(info.ptr())) bad_answer("me", "LinkedIn's userinfo answer", "an object", info, info);
  const py::object sub = member(info, "sub");
  if (!PyUnicode_Check(sub.ptr()) || !truthy(sub)) {
    // Without the member's id there is nothing to build on.
    bad_answer("me", "the userinfo answer's member id \"sub\"", "a non-empty str", sub, info);
  }
  for (const char* name : {"name", "given_name", "family_name", "email", "picture"}) {
    const py::object value = member(info, name);
    if (!value.is_none() && !PyUnicode_Check(value.ptr())) {
      const std::string what = std::string("the userinfo answer's \"") + name + "\"";
      bad_answer("me", what.c_str(), "a str", value, info);
    }
  }
  const py::object locale = member(info, "locale");
  py::object language = PyDict_Check(locale.ptr()) ? member(locale, "language") : locale;
  if (!language.is_none() && !PyUnicode_Check(language.ptr())) {
    bad_answer("me", "the userinfo answer's \"locale\"", "a str or {\"language\": str}",
               locale, info);
  }
}

Task<py::object> me_task(py::object self, py::object token) {
  py::object asking = self.attr("request")("GET", endpoint("userinfo"),
                                           py::arg("headers") = rest_headers(self, token));
  py::object info = co_await std::move(asking);
  check_userinfo(info);
  py::object sub = member(info, "sub");
  py::object email = member(info, "email");
  py::dict raw = pyutil::copy_dict(info);
  raw["language"] = language_of(member(info, "locale"));
  co_return state().profile.get()(
      py::arg("id") = sub, py::arg("platform") = "linkedin",
      py::arg("username") = truthy(email) ? email : sub,
      py::arg("full_name") = full_name_of(info), py::arg("picture") = member(info, "picture"),
      py::arg("email") = email, py::arg("raw") = raw);
}

PyObject* me(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "token", nullptr};
    PyObject *self = nullptr, *token = nullptr;
    pyutil::parse_args(args, kwargs, "OO:me", keywords, &self, &token);
    return bridge::as_coroutine(me_task(self_of(self), text(token, "me", "token")),
                                "LinkedIn.me");
  });
}

PyMethodDef oauth_methods[] = {
    pyutil::method_def(
        "_headers", headers_method,
        "_headers(self, token=None, extra=None)\n--\n\n"
        "The headers of a REST or userinfo request, as a new dict: X-Restli-Protocol-Version "
        "2.0.0, LinkedIn-Version, Authorization 'Bearer <token>' when a token is given, then "
        "the entries of extra, which win."),
    pyutil::method_def(
        "_parse_error", parse_error_method,
        "_parse_error(self, status, body)\n--\n\n"
        "The error object (not raised) for a LinkedIn error answer: the message is the body's "
        "message, error_description or error (else 'HTTP <status>'), the code its "
        "serviceErrorCode, else its code ('NONEXISTENT_VERSION'); a 426 (a retired "
        "LinkedIn-Version) also logs a warning naming the version sent. 429 RateLimitError, 401 AuthError, 403 PermissionError, 404 "
        "NotFoundError, every other status ApiError."),
    pyutil::method_def(
        "login_url", login_url,
        "login_url(self, redirect_uri, *, state=None, scopes=None)\n--\n\n"
        "The link of LinkedIn's sign-in page: response_type=code, client_id, redirect_uri, "
        "scope (the given scopes, else the client's, joined by spaces) and state when given. "
        "The caller makes, keeps and checks state. ConfigurationError without a client_id."),
    pyutil::method_def(
        "exchange_code", exchange_code,
        "exchange_code(self, code, redirect_uri)\n--\n\n"
        "Exchanges the sign-in page's code for a member token; returns a TokenBundle. "
        "redirect_uri must be exactly the one of the sign-in link. ApiError 'LinkedIn token "
        "bermadi' when the answer holds no access_token."),
    pyutil::method_def(
        "refresh", refresh,
        "refresh(self, refresh_token)\n--\n\n"
        "A new member token for a refresh token (LinkedIn issues those only to apps it enabled "
        "for them); returns a TokenBundle. ApiError 'Token yangilanmadi' when the answer holds "
        "no access_token."),
    pyutil::method_def(
        "introspect", introspect,
        "introspect(self, token)\n--\n\n"
        "LinkedIn's token introspection of token (active, scope, expiry, ...), unchanged."),
    pyutil::method_def(
        "me", me,
        "me(self, token)\n--\n\n"
        "The signed-in member's Profile from the OpenID userinfo endpoint: id = sub, username "
        "= email (else sub), full_name, picture, email; raw holds the answer with 'language' "
        "taken from its locale (en_US, en-US or {'language': 'en'} give 'en'). ApiError when "
        "the answer lacks the member id (sub) or holds a field of the wrong type."),
};

PyMethodDef person_urn_def = pyutil::method_def(
    "person_urn", person_urn_method,
    "person_urn(sub)\n--\n\n"
    "'urn:li:person:' followed by sub: the author form of a member's posts.");

}  // namespace

void add_oauth_methods(pyutil::ClassBuilder& cls) {
  for (auto& def : oauth_methods) cls.method(&def);
  cls.static_method(&person_urn_def);
}

}  // namespace corvane::linkedin
