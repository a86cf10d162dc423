// LinkedIn sign-in and identity: request headers, the sign-in link, the token calls (code
// exchange, refresh, introspection) and the OpenID profile.
#include "modules/linkedin/internal.hpp"

namespace corvane::linkedin {
namespace {

py::object endpoint(const char* name) { return state().endpoints.get().attr(name)(); }

// ---- _headers ----

py::object headers_now(py::object self, Args args) {
  py::dict out;
  out["X-Restli-Protocol-Version"] = "2.0.0";
  out["LinkedIn-Version"] = py::getattr(self, "api_version");
  if (truthy(args[0])) out["Authorization"] = py::str("Bearer ") + py::str(args[0]);
  if (!args[1].is_none()) out.attr("update")(args[1]);
  return out;
}

// ---- login_url ----

py::object login_url_now(py::object self, Args args) {
  py::object client_id = py::getattr(self, "client_id");
  // A client from from_env() with LINKEDIN_CLIENT_ID unset gets here: the note says where the id
  // comes from.
  if (!truthy(client_id)) clients::missing_setting(texts::kClientIdRequired, texts::kClientIdNote);
  py::list chosen = PyList_GET_SIZE(args[2].ptr()) > 0
                        ? py::reinterpret_borrow<py::list>(args[2])
                        : binder::texts(py::getattr(self, "scopes"), "login_url", "self.scopes");
  return clients::login_link(
      py::str(endpoint("authorization")),
      {{"response_type", py::str("code")},
       {"client_id", binder::text(client_id, "login_url", "client_id")},
       {"redirect_uri", args[0]},
       {"scope", py::str(" ").attr("join")(chosen)},
       {"state", truthy(args[1]) ? args[1] : py::object()}});
}

// ---- token calls ----

// The app's credentials, next in a token form.
void add_app(py::handle self, py::dict& form) {
  form["client_id"] = py::getattr(self, "client_id");
  form["client_secret"] = py::getattr(self, "client_secret");
}

py::object post_form(py::handle self, const char* address, py::dict form) {
  py::dict headers;
  headers["Content-Type"] = "application/x-www-form-urlencoded";
  py::dict options;
  options["data"] = form;
  options["headers"] = headers;
  return send(self, "POST", endpoint(address), options);
}

// The bundle of a token answer, or the ApiError `message` carrying the whole answer.
Task<py::object> token_call(py::object self, py::dict form, const char* message) {
  py::object answer = co_await post_form(self, "access_token", std::move(form));
  py::object token = member(answer, "access_token");
  if (!truthy(token) || !PyUnicode_Check(token.ptr())) clients::answer_error(self, message, answer);
  co_return state().token_bundle.get().attr("from_response")(answer);
}

Task<py::object> exchange_code_task(py::object self, Args args) {
  py::dict form;  // the order LinkedIn documents
  form["grant_type"] = "authorization_code";
  form["code"] = args[0];
  add_app(self, form);
  form["redirect_uri"] = args[1];
  co_return co_await token_call(std::move(self), std::move(form), texts::kNoToken);
}

Task<py::object> refresh_task(py::object self, Args args) {
  py::dict form;
  form["grant_type"] = "refresh_token";
  form["refresh_token"] = args[0];
  add_app(self, form);
  co_return co_await token_call(std::move(self), std::move(form), texts::kNotRefreshed);
}

Task<py::object> introspect_task(py::object self, Args args) {
  py::dict form;
  form["token"] = args[0];
  add_app(self, form);
  py::object answer = co_await post_form(self, "introspect", std::move(form));
  if (!answer.is_none()) object_answer(answer, "introspect");  // an object, or no body
  co_return answer;
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
  if (!PyDict_Check(info.ptr())) bad_answer("me", texts::kUserinfo, texts::kObject, info, info);
  const py::object sub = member(info, "sub");
  if (!PyUnicode_Check(sub.ptr()) || !truthy(sub)) {
    // Without the member's id there is nothing to build on.
    bad_answer("me", texts::kUserinfoSub, texts::kNonEmptyText, sub, info);
  }
  for (const char* name : {"name", "given_name", "family_name", "email", "picture"}) {
    const py::object value = member(info, name);
    if (!value.is_none() && !PyUnicode_Check(value.ptr())) {
      const auto what = py::str(texts::kUserinfoMember).format(name).cast<std::string>();
      bad_answer("me", what.c_str(), texts::kText, value, info);
    }
  }
  const py::object locale = member(info, "locale");
  py::object language = PyDict_Check(locale.ptr()) ? member(locale, "language") : locale;
  if (!language.is_none() && !PyUnicode_Check(language.ptr())) {
    bad_answer("me", texts::kUserinfoLocale, texts::kLocale, locale, info);
  }
}

Task<py::object> me_task(py::object self, Args args) {
  py::dict options;
  options["headers"] = headers(self, args[0]);
  py::object info = co_await send(self, "GET", endpoint("userinfo"), std::move(options));
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

const binder::Kind kExtraHeaders{"Mapping[str, str] | None", binder::kAnything.convert};
const binder::Param kToken{"token", &binder::kText};

const binder::Operation kOauthOperations[] = {
    {.name = "person_urn",
     .params = {{"sub", &binder::kText}},
     .doc = "'urn:li:person:' followed by sub: the author form of a member's posts.",
     .now = [](py::object, Args args) -> py::object { return person_urn(args[0]); },
     .as = binder::Operation::As::static_method},
    {"_headers",
     {{"token", &binder::kTextOrNone, "None"}, {"extra", &kExtraHeaders, "None"}},
     "The headers of a REST or userinfo request, as a new dict: X-Restli-Protocol-Version "
     "2.0.0, LinkedIn-Version, Authorization 'Bearer <token>' when a token is given, then "
     "the entries of extra, which win.",
     nullptr, headers_now},
    {"login_url",
     {{"redirect_uri", &binder::kText},
      {"state", &binder::kTextOrNone, "None", true},
      {"scopes", &binder::kTexts, "None", true}},
     "The link of LinkedIn's sign-in page: response_type=code, client_id, redirect_uri, "
     "scope (the given scopes, else the client's, joined by spaces) and state when given. "
     "The caller makes, keeps and checks state. ConfigurationError without a client_id.",
     nullptr, login_url_now},
    {"exchange_code",
     {{"code", &binder::kText}, {"redirect_uri", &binder::kText}},
     "Exchanges the sign-in page's code for a member token; returns a TokenBundle. "
     "redirect_uri must be exactly the one of the sign-in link. ApiError 'LinkedIn token "
     "bermadi' when the answer holds no access_token.",
     exchange_code_task},
    {"refresh",
     {{"refresh_token", &binder::kText}},
     "A new member token for a refresh token (LinkedIn issues those only to apps it enabled "
     "for them); returns a TokenBundle. ApiError 'Token yangilanmadi' when the answer holds "
     "no access_token.",
     refresh_task},
    {"introspect",
     {kToken},
     "LinkedIn's token introspection of token (active, scope, expiry, ...), unchanged.",
     introspect_task},
    {"me",
     {kToken},
     "The signed-in member's Profile from the OpenID userinfo endpoint: id = sub, username "
     "= email (else sub), full_name, picture, email; raw holds the answer with 'language' "
     "taken from its locale (en_US, en-US or {'language': 'en'} give 'en'). ApiError when "
     "the answer lacks the member id (sub) or holds a field of the wrong type.",
     me_task},
};


}  // namespace

py::tuple add_oauth_methods(pyutil::ClassBuilder& cls) {
  return binder::add_methods<kOauthOperations>(cls, "LinkedIn");
}

}  // namespace corvane::linkedin
