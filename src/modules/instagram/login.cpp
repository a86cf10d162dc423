// Instagram login: the dialog link, the code exchange (short-lived, then long-lived token) and
// the refresh of a long-lived token. The Facebook-login mode logs in through the Facebook
// client instead; these requests always go to Instagram's own hosts.
#include "modules/instagram/internal.hpp"

namespace corvane::instagram {
namespace {

using pyutil::name;

py::object endpoint(const char* name) { return state().endpoints.get().attr(name); }

// Builders of the token URLs: always the Instagram Graph host, whatever the client's mode.
py::object instagram_host() { return state().instagram_graph.get()(); }

// ---- login_url ----

py::object login_url(py::object self, Args args) {
  py::object app_id = py::getattr(self, name<"app_id">());
  // A client from from_env() with INSTAGRAM_APP_ID unset gets here: the note says where the id
  // comes from.
  if (!truthy(app_id)) clients::missing_setting(texts::kAppIdRequired, texts::kAppIdNote);
  py::object scope = graph::join_commas(
      truthy(args[2]) ? args[2] : py::getattr(self, name<"scopes">()));
  // Only the unreserved characters stay: the commas between scopes travel as %2C.
  return clients::login_link(
      binder::text(endpoint("INSTAGRAM_DIALOG"), "login_url", "INSTAGRAM_DIALOG"),
      {{"client_id", app_id}, {"redirect_uri", args[0]}, {"response_type", py::str("code")},
       {"scope", scope}, {"state", truthy(args[1]) ? args[1] : py::object()}});
}

// ---- exchange_code ----

// The requests to Instagram's token hosts carry the app's credentials or the token as plain
// values: they go unsigned (no token for graph::get to sign).
Task<py::object> exchange_code_task(py::object self, Args args) {
  const bridge::Rooted<> app_secret = py::getattr(self, name<"app_secret">());
  py::object exchange;
  {
    py::dict form;  // the order the platform documents; no access_token, no proof
    form["client_id"] = py::getattr(self, name<"app_id">());
    form["client_secret"] = app_secret;
    form["grant_type"] = "authorization_code";
    form["redirect_uri"] = args[1];
    form["code"] = args[0];
    // A form POST (the token endpoint answers a GET with query values "Invalid platform
    // app"), through the client's own request(): the Graph helpers send no form.
    exchange = py::getattr(self, name<"request">())("POST", endpoint("INSTAGRAM_TOKEN_URL"),
                                                    py::arg("data") = form);
  }
  bridge::Rooted<> short_lived = graph::require_json(self, co_await std::move(exchange));
  py::object long_call;
  {
    py::object short_token = member(short_lived, "access_token");
    if (!truthy(short_token)) {
      answer_error(self, texts::kNoShortLivedToken, short_lived);
    }
    py::dict query;
    query["grant_type"] = "ig_exchange_token";
    query["client_secret"] = app_secret;
    query["access_token"] = short_token;
    long_call = graph::get(self, instagram_host().attr("long_lived_token")(), py::none(),
                           std::move(query));
  }
  py::object long_lived = graph::require_json(self, co_await std::move(long_call));
  co_return graph::merged_tokens(state(), short_lived, long_lived);
}

// ---- refresh_token ----

Task<py::object> refresh_token_task(py::object self, Args args) {
  py::object call;
  {
    py::dict query;
    query["grant_type"] = "ig_refresh_token";
    query["access_token"] = args[0];
    call = graph::get(self, instagram_host().attr("refresh_token")(), py::none(), std::move(query));
  }
  py::object data = graph::require_json(self, co_await std::move(call));
  if (!truthy(member(data, "access_token"))) answer_error(self, texts::kNotRefreshed, data);
  co_return state().token_bundle.get().attr("from_response")(data);
}

}  // namespace

const binder::Operation kLoginOperations[] = {
    {"login_url",
     {{"redirect_uri", &binder::kText, nullptr, true},
      {"state", &binder::kTextOrNone, "None", true},
      {"scopes", &binder::kTexts, "None", true}},
     "The link of Instagram's login dialog: client_id, redirect_uri, response_type=code, "
     "scope (the argument, else the client's scopes, joined by ',') and state when given, "
     "every byte but the unreserved ones percent-encoded. ConfigurationError without an "
     "app_id (also in the Facebook-login mode). The caller makes, keeps and checks state.",
     nullptr,
     login_url},
    {"exchange_code",
     {{"code", &binder::kText}, {"redirect_uri", &binder::kText, nullptr, true}},
     "Exchanges the dialog's code (form POST to the token endpoint) for a short-lived token, "
     "then that for a long-lived one (about 60 days) on the Instagram Graph host. Returns a "
     "TokenBundle of both answers merged, the long-lived one winning. redirect_uri must be "
     "exactly the one of the login link. ApiError when the first answer carries no token "
     "(no second request is sent).",
     exchange_code_task},
    {"refresh_token",
     {{"token", &binder::kText}},
     "Extends a long-lived token by another 60 days and returns the new TokenBundle. The "
     "platform refuses tokens younger than 24 hours or already expired: refresh on a "
     "schedule (about weekly). ApiError when the answer carries no token.",
     refresh_token_task},
};
const binder::MethodGroup add_login_methods = binder::group<kLoginOperations, "Instagram">;

}  // namespace corvane::instagram
