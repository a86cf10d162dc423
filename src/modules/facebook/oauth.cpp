// Facebook login: the dialog link, the code exchange for a long-lived user token, the check of
// granted permissions, revocation and the user's own profile.
#include <string>

#include "modules/facebook/internal.hpp"
#include "py/errors.hpp"
#include "py/values.hpp"

namespace corvane::facebook {
namespace {

using pyutil::guarded;
using pyutil::member;
using pyutil::require_keyword;
using pyutil::truthy;

// An ApiError of the client's provider carrying the answer that made the operation fail.
[[noreturn]] void answer_error(py::handle self, const char* message, py::handle payload) {
  py::dict fields;
  fields["provider"] = self.attr("provider");
  fields["payload"] = payload;
  pyutil::raise_error("ApiError", py::str(message), fields);
}

// ---- login_url ----

PyObject* login_url(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    static const char* keywords[] = {"self", "redirect_uri", "state", "config_id", "scopes",
                                     nullptr};
    PyObject *self_ptr = nullptr, *redirect_uri = nullptr, *state_arg = Py_None;
    PyObject *config_id = Py_None, *scopes = Py_None;
    pyutil::parse_args(args, kwargs, "O|$OOOO:login_url", keywords, &self_ptr, &redirect_uri,
                       &state_arg, &config_id, &scopes);
    require_keyword(redirect_uri, "login_url", "redirect_uri");
    py::handle self(self_ptr);
    py::dict query;
    query["client_id"] = self.attr("app_id");
    query["redirect_uri"] = graph::text(redirect_uri, "login_url", "redirect_uri");
    query["response_type"] = "code";
    py::object state_text = graph::text_or_none(state_arg, "login_url", "state");
    if (truthy(state_text)) query["state"] = state_text;

    // Facebook Login for Business: a configuration carries the permissions, so no scope.
    py::object chosen = graph::text_or_none(config_id, "login_url", "config_id");
    if (!truthy(chosen)) chosen = self.attr("config_id");
    if (truthy(chosen)) {
      query["config_id"] = chosen;
    } else {
      py::list wanted = graph::text_list(scopes, "login_url", "scopes");
      query["scope"] = graph::join_commas(truthy(wanted) ? py::object(wanted)
                                                         : py::object(self.attr("scopes")));
    }
    return self.attr("graph").attr("oauth_dialog")(query);
  });
}

// ---- exchange_code ----

Task<py::object> exchange_code_task(py::object self, py::object code, py::object redirect_uri) {
  py::object url = self.attr("graph").attr("access_token")();
  py::object app_id = self.attr("app_id");
  py::object app_secret = self.attr("app_secret");

  py::dict first;  // the order the platform documents; no access_token, no proof
  first["client_id"] = app_id;
  first["client_secret"] = app_secret;
  first["redirect_uri"] = redirect_uri;
  first["code"] = code;
  py::object short_lived_call = self.attr("_get")(url, py::none(), **first);
  py::object short_lived = graph::require_json(self, co_await std::move(short_lived_call));
  py::object short_token = member(short_lived, "access_token");
  if (!truthy(short_token)) answer_error(self, "Facebook qisqa muddatli token bermadi", short_lived);

  py::dict second;
  second["grant_type"] = "fb_exchange_token";
  second["client_id"] = app_id;
  second["client_secret"] = app_secret;
  second["fb_exchange_token"] = short_token;
  py::object long_lived_call = self.attr("_get")(url, py::none(), **second);
  py::object long_lived = graph::require_json(self, co_await std::move(long_lived_call));

  // The long-lived answer wins; what only the short-lived one carried survives.
  py::dict merged = pyutil::copy_dict(short_lived);
  if (PyDict_Check(long_lived.ptr())) merged.attr("update")(long_lived);
  co_return state().token_bundle.get().attr("from_response")(merged);
}

PyObject* exchange_code(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "code", "redirect_uri", nullptr};
    PyObject *self = nullptr, *code = nullptr, *redirect_uri = nullptr;
    pyutil::parse_args(args, kwargs, "OO|$O:exchange_code", keywords, &self, &code,
                       &redirect_uri);
    require_keyword(redirect_uri, "exchange_code", "redirect_uri");
    return bridge::as_coroutine(
        exchange_code_task(py::reinterpret_borrow<py::object>(self),
                           graph::text(code, "exchange_code", "code"),
                           graph::text(redirect_uri, "exchange_code", "redirect_uri")),
        "Facebook.exchange_code");
  });
}

// ---- granted_scopes ----

Task<py::object> granted_scopes_task(py::object self, py::object token) {
  py::dict query;
  query["input_token"] = token;
  // The app access token: an ordinary query value here, so no appsecret_proof goes with it.
  query["access_token"] = py::str("{}|{}").format(self.attr("app_id"), self.attr("app_secret"));
  py::object url = self.attr("graph").attr("debug_token")();
  py::object data_call = self.attr("_get")(url, py::none(), **query);
  py::object data = graph::require_json(self, co_await std::move(data_call));
  py::object scopes = member(member(data, "data"), "scopes");
  co_return truthy(scopes) ? scopes : py::list();
}

PyObject* granted_scopes(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "token", nullptr};
    PyObject *self = nullptr, *token = nullptr;
    pyutil::parse_args(args, kwargs, "OO:granted_scopes", keywords, &self, &token);
    return bridge::as_coroutine(
        granted_scopes_task(py::reinterpret_borrow<py::object>(self),
                            graph::text(token, "granted_scopes", "token")),
        "Facebook.granted_scopes");
  });
}

// ---- revoke ----

Task<py::object> revoke_task(py::object self, py::object token, py::object user_id) {
  py::object url = self.attr("graph").attr("edge")(user_id, "permissions");
  py::object data_call = self.attr("_delete")(url, token);
  py::object data = graph::require_json(self, co_await std::move(data_call));
  co_return py::bool_(truthy(member(data, "success")));
}

PyObject* revoke(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "token", "user_id", nullptr};
    PyObject *self = nullptr, *token = nullptr, *user_id = nullptr;
    pyutil::parse_args(args, kwargs, "OO|$O:revoke", keywords, &self, &token, &user_id);
    py::object user = user_id ? py::object(graph::node_id(user_id, "revoke", "user_id"))
                              : py::object(py::str("me"));
    return bridge::as_coroutine(revoke_task(py::reinterpret_borrow<py::object>(self),
                                            graph::token(token, "revoke", "token"), user),
                                "Facebook.revoke");
  });
}

// ---- me ----

Task<py::object> me_task(py::object self, py::object token) {
  py::object url = self.attr("graph").attr("me")();
  py::object fields = field_set("FB_USER");
  py::object data_call = self.attr("_get")(url, token, py::arg("fields") = fields);
  py::object data = graph::require_json(self, co_await std::move(data_call));
  py::object id = member(data, "id");
  if (id.is_none()) answer_error(self, "Facebook javobida `id` yo'q", data);
  py::object name = member(data, "name");
  py::object picture = member(member(member(data, "picture"), "data"), "url");
  co_return state().profile.get()(
      py::arg("id") = pyutil::text_form(id), py::arg("platform") = "facebook",
      py::arg("username") = name, py::arg("full_name") = name, py::arg("picture") = picture,
      py::arg("email") = member(data, "email"), py::arg("raw") = data);
}

PyObject* me(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "token", nullptr};
    PyObject *self = nullptr, *token = nullptr;
    pyutil::parse_args(args, kwargs, "OO:me", keywords, &self, &token);
    return bridge::as_coroutine(me_task(py::reinterpret_borrow<py::object>(self),
                                        graph::token(token, "me", "token")),
                                "Facebook.me");
  });
}

PyMethodDef oauth_methods[] = {
    pyutil::method_def(
        "login_url", login_url,
        "login_url(self, *, redirect_uri, state=None, config_id=None, scopes=None)\n--\n\n"
        "The link of Facebook's login dialog. A configuration id (the argument, else the "
        "client's) is sent as config_id with no scope (Facebook Login for Business); otherwise "
        "scope lists the permissions (the argument, else the client's) joined by ','. The "
        "caller makes, keeps and checks state (CSRF protection)."),
    pyutil::method_def(
        "exchange_code", exchange_code,
        "exchange_code(self, code, *, redirect_uri)\n--\n\n"
        "Exchanges the dialog's code for a short-lived user token, then that for a long-lived "
        "one (about 60 days). Returns a TokenBundle of both answers merged, the long-lived one "
        "winning. redirect_uri must be exactly the one of the login link. ApiError when the "
        "first answer carries no token (no second request is sent)."),
    pyutil::method_def(
        "granted_scopes", granted_scopes,
        "granted_scopes(self, token)\n--\n\n"
        "The permissions the user really granted to token (the dialog lets them refuse some), "
        "as the token-inspection endpoint reports them; [] when it reports none."),
    pyutil::method_def(
        "revoke", revoke,
        "revoke(self, token, *, user_id='me')\n--\n\n"
        "Withdraws the app's permissions on Meta's side. True when the platform reports "
        "success, else False."),
    pyutil::method_def(
        "me", me,
        "me(self, token)\n--\n\n"
        "The user's own Profile (id, name as username and full_name, picture URL, email)."),
};

}  // namespace

void add_oauth_methods(pyutil::ClassBuilder& cls) {
  for (auto& def : oauth_methods) cls.method(&def);
}

}  // namespace corvane::facebook
