// Facebook login: the dialog link, the code exchange for a long-lived user token, the check of
// granted permissions, revocation and the user's own profile.
#include "modules/facebook/internal.hpp"

namespace corvane::facebook {
namespace {

using graph::answer_error;
using pyutil::name;

py::object login_url(py::object self, Args args) {
  py::dict query;
  query["client_id"] = py::getattr(self, name<"app_id">());
  query["redirect_uri"] = args[0];
  query["response_type"] = "code";
  if (truthy(args[1])) query["state"] = args[1];
  // Facebook Login for Business: a configuration carries the permissions, so no scope.
  py::object chosen = truthy(args[2]) ? args[2] : py::getattr(self, name<"config_id">());
  if (truthy(chosen)) {
    query["config_id"] = chosen;
  } else {
    py::object scopes = truthy(args[3]) ? args[3] : py::getattr(self, name<"scopes">());
    query["scope"] = graph::join_commas(scopes);
  }
  return graph::urls(self).attr("oauth_dialog")(query);
}

Task<py::object> exchange_code_task(py::object self, Args args) {
  py::object url = graph::urls(self).attr("access_token")();
  py::object app_id = py::getattr(self, name<"app_id">());
  py::object app_secret = py::getattr(self, name<"app_secret">());

  py::dict first;  // the order the platform documents; no access_token, no proof
  first["client_id"] = app_id;
  first["client_secret"] = app_secret;
  first["redirect_uri"] = args[1];
  first["code"] = args[0];
  py::object short_lived_call = graph::get(self, url, py::none(), std::move(first));
  py::object short_lived = graph::require_json(self, co_await std::move(short_lived_call));
  py::object short_token = member(short_lived, "access_token");
  if (!truthy(short_token)) answer_error(self, texts::kNoShortLivedToken, short_lived);

  py::dict second;
  second["grant_type"] = "fb_exchange_token";
  second["client_id"] = app_id;
  second["client_secret"] = app_secret;
  second["fb_exchange_token"] = short_token;
  py::object long_lived_call = graph::get(self, url, py::none(), std::move(second));
  py::object long_lived = graph::require_json(self, co_await std::move(long_lived_call));
  co_return graph::merged_tokens(state(), short_lived, long_lived);
}

Task<py::object> granted_scopes_task(py::object self, Args args) {
  py::dict query;
  query["input_token"] = args[0];
  // The app access token: an ordinary query value here, so no appsecret_proof goes with it.
  query["access_token"] =
      py::str("{}|{}").format(py::getattr(self, name<"app_id">()),
                              py::getattr(self, name<"app_secret">()));
  py::object url = graph::urls(self).attr("debug_token")();
  py::object data = co_await graph::get(self, url, py::none(), std::move(query));
  py::object scopes = member(member(graph::require_json(self, std::move(data)), "data"), "scopes");
  co_return truthy(scopes) ? scopes : py::list();
}

Task<py::object> revoke_task(py::object self, Args args) {
  co_return graph::succeeded(
      self, co_await graph::del(self, graph::edge(self, args[1], "permissions"), args[0]));
}

Task<py::object> me_task(py::object self, Args args) {
  py::object url = graph::urls(self).attr("me")();
  py::object answer = co_await graph::get(self, url, args[0], graph::fields("FB_USER"));
  py::object data = graph::require_json(self, std::move(answer));
  py::object id = member(data, "id");
  if (id.is_none()) answer_error(self, texts::kNoId, data);
  py::object full_name = member(data, "name");
  py::object picture = member(member(member(data, "picture"), "data"), "url");
  co_return state().profile.get()(
      py::arg("id") = pyutil::text_form(id), py::arg("platform") = "facebook",
      py::arg("username") = full_name, py::arg("full_name") = full_name,
      py::arg("picture") = picture, py::arg("email") = member(data, "email"),
      py::arg("raw") = data);
}

const binder::Param kRedirectUri{"redirect_uri", &binder::kText, nullptr, true};
const binder::Param kToken{"token", &binder::kToken};

}  // namespace

const binder::Operation kOauthOperations[] = {
    {"login_url",
     {kRedirectUri,
      {"state", &binder::kTextOrNone, "None", true},
      {"config_id", &binder::kTextOrNone, "None", true},
      {"scopes", &binder::kTexts, "None", true}},
     "The link of Facebook's login dialog. A configuration id (the argument, else the "
     "client's) is sent as config_id with no scope (Facebook Login for Business); otherwise "
     "scope lists the permissions (the argument, else the client's) joined by ','. The "
     "caller makes, keeps and checks state (CSRF protection).",
     nullptr, login_url},
    {"exchange_code",
     {{"code", &binder::kText}, kRedirectUri},
     "Exchanges the dialog's code for a short-lived user token, then that for a long-lived "
     "one (about 60 days). Returns a TokenBundle of both answers merged, the long-lived one "
     "winning. redirect_uri must be exactly the one of the login link. ApiError when the "
     "first answer carries no token (no second request is sent).",
     exchange_code_task},
    {"granted_scopes",
     {{"token", &binder::kText}},
     "The permissions the user really granted to token (the dialog lets them refuse some), "
     "as the token-inspection endpoint reports them; [] when it reports none.",
     granted_scopes_task},
    {"revoke",
     {kToken, {"user_id", &graph::kNodeId, "'me'", true}},
     "Withdraws the app's permissions on Meta's side. True when the platform reports "
     "success, else False.",
     revoke_task},
    {"me",
     {kToken},
     "The user's own Profile (id, name as username and full_name, picture URL, email).",
     me_task},
};
const binder::MethodGroup add_oauth_methods = binder::group<kOauthOperations, "Facebook">;

}  // namespace corvane::facebook
