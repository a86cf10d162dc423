// corvane.instagram: the Instagram client (construction in both login modes, from_env, repr,
// the account-node rule) and the module's constants. The operations live in tables, one per
// file: login.cpp, media.cpp, messaging.cpp, listings.cpp and insights.cpp.
#include <string>

#include <pybind11/pybind11.h>

#include "modules/instagram/internal.hpp"

namespace corvane::instagram {

ModuleState& state() {
  static ModuleState s;
  return s;
}

py::object constant(const char* name) {
  PyObject* found = PyDict_GetItemString(state().module_dict.get().ptr(), name);  // borrowed
  if (found == nullptr) throw py::attribute_error(std::string("corvane.instagram.") + name);
  return own(found);
}

bool via_facebook(py::handle self) {
  PyObject* dict = PyObject_GenericGetDict(self.ptr(), nullptr);
  if (dict == nullptr) throw py::error_already_set();
  py::object owned = py::reinterpret_steal<py::object>(dict);
  return pyutil::truthy(pyutil::member(owned, "via_facebook"));
}

py::str account_node(py::handle self, py::handle ig_user_id) {
  if (pyutil::truthy(ig_user_id)) return py::reinterpret_borrow<py::str>(ig_user_id);
  if (via_facebook(self)) {
    // With a page token "me" is the Page, never the Instagram account.
    pyutil::raise_error("ConfigurationError", py::str(texts::kIgUserIdRequired));
  }
  return py::str("me");
}

namespace {

using pyutil::guarded;

constexpr const char* kModuleDoc = R"doc(The Instagram client of corvane.

Instagram talks to Meta's Graph API for Instagram professional accounts, in either login
mode: Instagram login (the Instagram Graph host, the account's own token) or Facebook login
(the Graph API host, the token of the Facebook Page linked to the account, and the account's
id on every call). It reads the profile and media, publishes images and reels, moderates
comments, reads and answers Direct conversations with their customers' profiles, and reads
account insights and follower demographics. Log lines go to the logger "corvane.instagram".
)doc";

constexpr const char* kClassDoc = R"doc(Client for Instagram professional accounts.

Built once with the app's credentials, it holds no token: every operation takes the token it
acts with, so one client serves every account of the app. The mode is fixed per client:

    ig = Instagram(app_id="...", app_secret="...")          # Instagram login
    fb_ig = Instagram.via_facebook(app_secret="...")         # Facebook login
    await fb_ig.profile(page_token, ig_user_id="1784...")    # the account id is required

On an instance, `via_facebook` reads the mode (True for Facebook login); on the class it is
the constructor of the Facebook-login mode.
)doc";

const char* const kDefaultScopes[] = {
    "instagram_business_basic",
    "instagram_business_manage_messages",
    "instagram_business_manage_comments",
    "instagram_business_content_publish",
    "instagram_business_manage_insights",
};

const binder::Signature kInitSig{
    "Instagram", {"self"}, 1, {"app_id", "app_secret", "via_facebook", "graph_version", "scopes"}};
const binder::Signature kViaFacebookSig{"via_facebook", {"cls"}, 1, {}, {"app_secret"}};

py::object text_or_empty(const py::object& value, const char* name) {
  if (!value || value.is_none()) return py::str("");
  return binder::text(value, "Instagram", name);
}

PyObject* init(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    binder::BoundArgs bound = binder::bind(kInitSig, args, kwargs);
    const py::object& self = bound.values[0];
    state().base_client.get().attr("__init__")(self, **bound.extras);

    py::object app_id = text_or_empty(bound.values[1], "app_id");
    py::object app_secret = text_or_empty(bound.values[2], "app_secret");
    const bool facebook_mode = bound.values[3] && pyutil::truthy(bound.values[3]);
    py::object version =
        bound.values[4] ? bound.values[4] : own(state().default_version.get().ptr());
    binder::text(version, "Instagram", "graph_version");
    py::list scopes = binder::texts(bound.values[5], "Instagram", "scopes");
    if (!pyutil::truthy(scopes)) {
      for (const char* scope : kDefaultScopes) scopes.append(py::str(scope));
    }

    py::setattr(self, pyutil::name<"app_id">(), app_id);
    py::setattr(self, pyutil::name<"app_secret">(), app_secret);
    // Kept in the instance's own __dict__, where it hides the class's constructor of the
    // same name for reads through the instance.
    py::setattr(self, pyutil::name<"via_facebook">(), py::bool_(facebook_mode));
    py::setattr(self, pyutil::name<"scopes">(), scopes);
    py::setattr(self, pyutil::name<"graph">(),
                (facebook_mode ? state().graph_type : state().instagram_graph).get()(version));
    return py::none();
  });
}

PyObject* via_facebook_ctor(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    binder::BoundArgs bound = binder::bind(kViaFacebookSig, args, kwargs);
    py::dict values;
    values["app_secret"] = bound.values[1];
    values["via_facebook"] = py::bool_(true);
    return binder::call_with_options(bound.values[0], "via_facebook", values, bound.extras);
  });
}

using Env = clients::EnvOption;
const Env kEnv[] = {{"app_id", "INSTAGRAM_APP_ID", Env::kEmptyText},
                    {"app_secret", "INSTAGRAM_APP_SECRET", Env::kEmptyText},
                    {"graph_version", "META_GRAPH_VERSION", Env::kDefault, true}};

PyObject* from_env(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded(
      [&] { return clients::from_env(args, kwargs, kEnv, state().default_version.get()); });
}

py::object repr(py::object self, binder::Args) {
  return pyutil::instance_repr(self, {{"app_id", py::getattr(self, "app_id", py::none())},
                                      {"via_facebook", py::bool_(via_facebook(self))},
                                      {"graph_version", graph::version_of(self)}});
}

PyMethodDef init_def = pyutil::method_def(
    "__init__", init,
    "__init__(self, *, app_id='', app_secret='', via_facebook=False, "
    "graph_version='v23.0', scopes=None, **options)\n--\n\n"
    "app_id: the Instagram app id (only login_url and exchange_code need it); app_secret: "
    "the Instagram app's secret (Instagram login) or the Facebook app's (Facebook login), "
    "for appsecret_proof and the token requests; via_facebook: True for the Facebook-login "
    "mode (Graph API host, page tokens); graph_version: the API version of every URL; "
    "scopes: the default permissions of login_url() (None or [] for the five "
    "instagram_business_ ones). Further options (timeout, retry, session, user_agent, "
    "throttle) go to BaseClient. Nothing is validated or sent here.");

PyMethodDef from_env_def = pyutil::method_def(
    "from_env", from_env,
    "from_env(cls, **options)\n--\n\n"
    "A client from INSTAGRAM_APP_ID, INSTAGRAM_APP_SECRET (unset: empty) and "
    "META_GRAPH_VERSION (unset or empty: v23.0); further options go to the constructor. "
    "Nothing is validated.");

PyMethodDef via_facebook_def = pyutil::method_def(
    "via_facebook", via_facebook_ctor,
    "via_facebook(cls, *, app_secret, **options)\n--\n\n"
    "A client of the Facebook-login mode: requests go to the Graph API host with the "
    "token of the Page linked to the account; app_secret is the Facebook app's. No app id "
    "is needed (login happened on the Facebook side).");

const binder::Operation kSetupOperations[] = {
    {"_node",
     {{"ig_user_id", &graph::kNodeIdOrNone, "None"}},
     "The node an account-level request acts for: ig_user_id, or 'me' when it is None or "
     "empty in the Instagram-login mode. In the Facebook-login mode a missing id raises "
     "ConfigurationError ('me' would be the Page).",
     nullptr,
     [](py::object self, binder::Args args) -> py::object {
       return account_node(self, args[0]);
     }},
};

}  // namespace

py::tuple add_setup_methods(pyutil::ClassBuilder& cls) {
  clients::add_setup<repr>(cls, "Instagram", &init_def, &from_env_def);
  cls.class_method(&via_facebook_def);
  return binder::add_methods<kSetupOperations>(cls, "Instagram");
}

void init_module(py::module_ m) {
  ModuleState& s = state();
  py::module_ endpoints = clients::init(m, kModuleDoc, s, "instagram").endpoints;
  graph::init();  // corvane.crypto
  s.module_dict = pyutil::Immortal(py::reinterpret_borrow<py::object>(m.attr("__dict__")));
  s.endpoints = pyutil::Immortal(endpoints);
  s.graph_type = pyutil::Immortal(endpoints.attr("Graph"));
  s.instagram_graph = pyutil::Immortal(endpoints.attr("InstagramGraph"));
  s.default_version = pyutil::Immortal(endpoints.attr("DEFAULT_GRAPH_VERSION"));

  py::dict media_metrics;
  media_metrics["IMAGE"] = "reach,likes,comments,saved,shares,total_interactions,profile_visits";
  media_metrics["VIDEO"] = "reach,likes,comments,saved,shares,total_interactions,views";
  media_metrics["REELS"] = "reach,likes,comments,saved,shares,total_interactions,views";
  media_metrics["CAROUSEL_ALBUM"] = "reach,likes,comments,saved,shares,total_interactions";
  media_metrics["STORY"] = "reach,replies,navigation,total_interactions";
  m.attr("_MEDIA_METRICS") = media_metrics;
  m.attr("_DEFAULT_METRICS") = "reach,likes,comments,saved,shares,total_interactions";
  m.attr("_PUBLISH_ATTEMPTS") = 30;
  m.attr("_PUBLISH_DELAY") = 2.0;
  m.attr("_PROFILE_CONCURRENCY") = 8;
  m.attr("_DEMOGRAPHIC_BREAKDOWNS") = py::make_tuple("age,gender", "city", "country");

  pyutil::ClassBuilder client = clients::client_class(s, "instagram", "Instagram", kClassDoc);
  graph::add_request_helpers(client, graph::ProofRule::kWhenSecret, graph::PostBody::kJson);
  py::dict operations;
  operations[""] = add_module_functions(m);
  operations["Instagram"] = binder::add_groups(
      client, {add_setup_methods, add_login_methods, add_media_methods, add_messaging_methods,
               add_listing_methods, add_insights_methods, graph::add_batch_methods});
  m.attr("_OPERATIONS") = operations;
  m.attr("Instagram") = client.build();
  m.attr("__all__") = py::make_tuple("Instagram");
}

}  // namespace corvane::instagram

PYBIND11_MODULE(instagram, m) { corvane::instagram::init_module(m); }
