// Instagram login: the dialog link, the code exchange (short-lived, then long-lived token) and
// the refresh of a long-lived token. The Facebook-login mode logs in through the Facebook
// client instead; these requests always go to Instagram's own hosts.
#include <string>

#include "core/percent.hpp"
#include "modules/instagram/internal.hpp"
#include "py/errors.hpp"
#include "py/values.hpp"

namespace corvane::instagram {
namespace {

using pyutil::guarded;
using pyutil::member;
using pyutil::require_keyword;
using pyutil::truthy;

py::object endpoint(const char* name) { return state().endpoints.get().attr(name); }

// Builders of the token URLs: always the Instagram Graph host, whatever the client's mode.
py::object instagram_host() { return state().instagram_graph.get()(); }

// ---- login_url ----

void append_pair(std::string& out, std::string_view key, py::handle value) {
  if (!out.empty()) out.push_back('&');
  core::percent_encode_into(out, key);
  out.push_back('=');
  core::percent_encode_into(out, pyutil::utf8(pyutil::text_form(value)));
}

PyObject* login_url(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    static const char* keywords[] = {"self", "redirect_uri", "state", "scopes", nullptr};
    PyObject *self_ptr = nullptr, *redirect_uri = nullptr, *state_arg = Py_None,
             *scopes = Py_None;
    pyutil::parse_args(args, kwargs, "O|$OOO:login_url", keywords, &self_ptr, &redirect_uri,
                       &state_arg, &scopes);
    require_keyword(redirect_uri, "login_url", "redirect_uri");
    py::handle self(self_ptr);
    py::object app_id = self.attr("app_id");
    if (!truthy(app_id)) {
      // A client from from_env() with INSTAGRAM_APP_ID unset gets here: say where the id comes
      // from, beside the message.
      py::object error = pyutil::make_error("ConfigurationError",
                                            py::str("Instagram login uchun `app_id` majburiy"));
      graph::add_note(error, "pass app_id= to Instagram(), or set the environment variable "
                             "INSTAGRAM_APP_ID for Instagram.from_env(); a client of "
                             "Instagram.via_facebook() logs in through Facebook.login_url()");
      pyutil::raise(error);
    }
    py::str redirect = graph::text(redirect_uri, "login_url", "redirect_uri");
    py::object state_text = graph::text_or_none(state_arg, "login_url", "state");
    py::list wanted = graph::text_list(scopes, "login_url", "scopes");
    py::object scope =
        graph::join_commas(truthy(wanted) ? py::object(wanted) : py::object(self.attr("scopes")));

    // Only the unreserved characters stay: the commas between scopes travel as %2C.
    std::string query;
    append_pair(query, "client_id", app_id);
    append_pair(query, "redirect_uri", redirect);
    append_pair(query, "response_type", py::str("code"));
    append_pair(query, "scope", scope);
    if (truthy(state_text)) append_pair(query, "state", state_text);
    std::string link(pyutil::utf8(graph::text(endpoint("INSTAGRAM_DIALOG"), "login_url",
                                              "INSTAGRAM_DIALOG")));
    link.push_back('?');
    link.append(query);
    return py::str(link);
  });
}

// ---- exchange_code ----

Task<py::object> exchange_code_task(py::object self, py::object code, py::object redirect_uri) {
  py::object exchange;
  {
    py::dict form;  // the order the platform documents; no access_token, no proof
    form["client_id"] = self.attr("app_id");
    form["client_secret"] = self.attr("app_secret");
    form["grant_type"] = "authorization_code";
    form["redirect_uri"] = redirect_uri;
    form["code"] = code;
    // A form POST: the token endpoint answers a GET with query values "Invalid platform app".
    exchange = self.attr("request")("POST", endpoint("INSTAGRAM_TOKEN_URL"),
                                    py::arg("data") = form);
  }
  bridge::Rooted<> short_lived = graph::require_json(self, co_await std::move(exchange));
  py::object long_call;
  {
    py::object short_token = member(short_lived, "access_token");
    if (!truthy(short_token)) {
      answer_error(self, "Instagram qisqa muddatli token bermadi", short_lived);
    }
    py::dict query;
    query["grant_type"] = "ig_exchange_token";
    query["client_secret"] = self.attr("app_secret");
    query["access_token"] = short_token;
    long_call = self.attr("request")("GET", instagram_host().attr("long_lived_token")(),
                                     py::arg("params") = query);
  }
  py::object long_lived = graph::require_json(self, co_await std::move(long_call));

  // The long-lived answer wins; what only the short-lived one carried (user_id,
  // permissions) survives.
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
        exchange_code_task(own(self), graph::text(code, "exchange_code", "code"),
                           graph::text(redirect_uri, "exchange_code", "redirect_uri")),
        "Instagram.exchange_code");
  });
}

// ---- refresh_token ----

Task<py::object> refresh_token_task(py::object self, py::object token) {
  py::object call;
  {
    py::dict query;
    query["grant_type"] = "ig_refresh_token";
    query["access_token"] = token;
    call = self.attr("request")("GET", instagram_host().attr("refresh_token")(),
                                py::arg("params") = query);
  }
  py::object data = graph::require_json(self, co_await std::move(call));
  if (!truthy(member(data, "access_token"))) answer_error(self, "Token yangilanmadi", data);
  co_return state().token_bundle.get().attr("from_response")(data);
}

PyObject* refresh_token(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "token", nullptr};
    PyObject *self = nullptr, *token = nullptr;
    pyutil::parse_args(args, kwargs, "OO:refresh_token", keywords, &self, &token);
    return bridge::as_coroutine(
        refresh_token_task(own(self), graph::text(token, "refresh_token", "token")),
        "Instagram.refresh_token");
  });
}

PyMethodDef login_methods[] = {
    pyutil::method_def(
        "login_url", login_url,
        "login_url(self, *, redirect_uri, state=None, scopes=None)\n--\n\n"
        "The link of Instagram's login dialog: client_id, redirect_uri, response_type=code, "
        "scope (the argument, else the client's scopes, joined by ',') and state when given, "
        "every byte but the unreserved ones percent-encoded. ConfigurationError without an "
        "app_id (also in the Facebook-login mode). The caller makes, keeps and checks state."),
    pyutil::method_def(
        "exchange_code", exchange_code,
        "exchange_code(self, code, *, redirect_uri)\n--\n\n"
        "Exchanges the dialog's code (form POST to the token endpoint) for a short-lived token, "
        "then that for a long-lived one (about 60 days) on the Instagram Graph host. Returns a "
        "TokenBundle of both answers merged, the long-lived one winning. redirect_uri must be "
        "exactly the one of the login link. ApiError when the first answer carries no token "
        "(no second request is sent)."),
    pyutil::method_def(
        "refresh_token", refresh_token,
        "refresh_token(self, token)\n--\n\n"
        "Extends a long-lived token by another 60 days and returns the new TokenBundle. The "
        "platform refuses tokens younger than 24 hours or already expired: refresh on a "
        "schedule (about weekly). ApiError when the answer carries no token."),
};

}  // namespace

void add_login_methods(pyutil::ClassBuilder& cls) {
  for (auto& def : login_methods) cls.method(&def);
}

}  // namespace corvane::instagram
