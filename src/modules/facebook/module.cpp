// corvane.facebook: the Facebook client (construction, from_env, repr) and the module's
// constants. The operations live beside this file: oauth.cpp, pages.cpp, leads.cpp and
// content.cpp.
#include <pybind11/pybind11.h>

#include "modules/facebook/internal.hpp"

namespace corvane::facebook {

ModuleState& state() {
  static ModuleState s;
  return s;
}

py::list records(py::handle record_type, py::handle items) {
  py::list out;
  py::object from_response = record_type.attr("from_response");
  for (py::handle item : items) out.append(from_response(item));
  return out;
}

namespace {

using pyutil::guarded;

constexpr const char* kModuleDoc = R"doc(The Facebook client of corvane.

Facebook talks to Meta's Graph API for Facebook users and Pages: the login link and the code
exchange, the user's Pages with their page tokens, page webhook subscriptions, Lead Ads forms
and leads, posts, comments and post insights. Log lines go to the logger "corvane.facebook".
)doc";

constexpr const char* kClassDoc = R"doc(Client for Meta's Graph API on behalf of Facebook users and Pages.

Built once with the app's credentials, it holds no user token: every operation takes the token
it acts with (the user token, or a page token from pages()), so one client serves every user
and Page of the app, with any number of operations in flight. Credentials travel as the
access_token and appsecret_proof query parameters.

    async with Facebook(app_id="...", app_secret="...") as fb:
        link = fb.login_url(redirect_uri="https://example.com/cb", state=state)
        bundle = await fb.exchange_code(code, redirect_uri="https://example.com/cb")
        for page in await fb.pages(bundle.access_token):
            await fb.subscribe_page(page.id, page.access_token)
)doc";

// Part of the Page field set that the module adds: the linked Instagram business account.
constexpr const char* kInstagramSuffix =
    ",instagram_business_account{id,username,name,profile_picture_url,followers_count,"
    "follows_count,media_count,biography,website}";

const binder::Signature kInitSig{"Facebook",
                                 {"self"},
                                 1,
                                 {"graph_version", "config_id", "scopes"},
                                 {"app_id", "app_secret"}};

// app_id/app_secret: None or "" is a missing setting, anything but a str a wrong argument.
bool present_text(py::handle value, const char* name) {
  if (value.is_none()) return false;
  return pyutil::truthy(binder::text(value, "Facebook", name));
}

PyObject* init(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    binder::BoundArgs bound = binder::bind(kInitSig, args, kwargs);
    const py::object& self = bound.values[0];
    state().base_client.get().attr("__init__")(self, **bound.extras);

    const py::object& app_id = bound.values[4];
    const py::object& app_secret = bound.values[5];
    const bool have_id = present_text(app_id, "app_id");
    const bool have_secret = present_text(app_secret, "app_secret");
    if (!have_id || !have_secret) {
      pyutil::raise_error("ConfigurationError", py::str(texts::kCredentials));
    }
    py::object version =
        bound.values[1] ? bound.values[1] : py::reinterpret_borrow<py::object>(state().default_version.get());
    binder::text(version, "Facebook", "graph_version");
    if (!pyutil::truthy(version)) throw py::value_error(texts::kEmptyVersion);
    py::object config_id = binder::text_or_none(bound.values[2], "Facebook", "config_id");
    py::list scopes = binder::texts(bound.values[3], "Facebook", "scopes");

    py::setattr(self, "app_id", app_id);
    py::setattr(self, "app_secret", app_secret);
    py::setattr(self, "config_id", config_id);
    py::setattr(self, "scopes", scopes);
    py::setattr(self, "graph", state().graph_type.get()(version));
    return py::none();
  });
}

py::object repr(py::object self, binder::Args) {
  return pyutil::instance_repr(self, {{"app_id", py::getattr(self, "app_id", py::none())},
                                      {"graph_version", graph::version_of(self)}});
}

using Env = clients::EnvOption;
const Env kEnv[] = {{"app_id", "FACEBOOK_APP_ID", Env::kEmptyText},
                    {"app_secret", "FACEBOOK_APP_SECRET", Env::kEmptyText},
                    {"config_id", "FACEBOOK_CONFIG_ID", Env::kNone, true},
                    {"graph_version", "META_GRAPH_VERSION", Env::kDefault, true}};

PyObject* from_env(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    try {
      return clients::from_env(args, kwargs, kEnv, state().default_version.get());
    } catch (py::error_already_set& e) {
      if (!pyutil::is_kind(e, "ConfigurationError")) throw;
      // The constructor's message stays as it is; the note says where from_env looked.
      py::object environ = py::module_::import("os").attr("environ");
      std::string unset;
      for (const char* name : {"FACEBOOK_APP_ID", "FACEBOOK_APP_SECRET"}) {
        if (pyutil::truthy(environ.attr("get")(name))) continue;
        unset += unset.empty() ? name : std::string(" and ") + name;
      }
      pyutil::add_note(e.value(), texts::kFromEnvNote + unset);
      throw;
    }
  });
}

PyMethodDef init_def = pyutil::method_def(
        "__init__", init,
        "__init__(self, *, app_id, app_secret, graph_version='v23.0', config_id=None, "
        "scopes=None, **options)\n--\n\n"
        "app_id, app_secret: the Meta app's credentials (both required, else "
        "ConfigurationError); graph_version: the Graph API version of every URL; config_id: "
        "the default Facebook Login for Business configuration of login_url(); scopes: the "
        "default permissions of login_url(). Further options (timeout, retry, session, "
        "user_agent, throttle) go to BaseClient. Nothing is sent.");

PyMethodDef from_env_def = pyutil::method_def(
    "from_env", from_env,
    "from_env(cls, **options)\n--\n\n"
    "A client from FACEBOOK_APP_ID, FACEBOOK_APP_SECRET, FACEBOOK_CONFIG_ID (empty counts as "
    "unset) and META_GRAPH_VERSION (default v23.0); further options go to the constructor. "
    "Unset credentials raise ConfigurationError.");

}  // namespace

void init_module(py::module_ m) {
  ModuleState& s = state();
  auto [endpoints, models] = clients::init(m, kModuleDoc, s, "facebook");
  graph::init();  // corvane.crypto
  s.graph_type = pyutil::Immortal(endpoints.attr("Graph"));
  s.default_version = pyutil::Immortal(endpoints.attr("DEFAULT_GRAPH_VERSION"));
  s.page = pyutil::Immortal(models.attr("Page"));
  s.lead_form = pyutil::Immortal(models.attr("LeadForm"));
  s.lead = pyutil::Immortal(models.attr("Lead"));

  // Fixed once, at import, from the FB_PAGE set in force at that moment.
  py::str page_fields = pyutil::field_set(std::string_view("FB_PAGE")) + py::str(kInstagramSuffix);
  s.page_fields = pyutil::Immortal(page_fields);
  m.attr("_PAGE_FIELDS") = page_fields;

  py::tuple webhook_fields = py::make_tuple("leadgen", "leadgen_update", "feed", "messages",
                                            "messaging_postbacks", "mention");
  s.webhook_fields = pyutil::Immortal(webhook_fields);
  m.attr("DEFAULT_PAGE_WEBHOOK_FIELDS") = webhook_fields;

  pyutil::ClassBuilder client = clients::client_class(s, "facebook", "Facebook", kClassDoc);
  clients::add_setup<repr>(client, "Facebook", &init_def, &from_env_def);
  graph::add_request_helpers(client, graph::ProofRule::kAlways, graph::PostBody::kQueryOnly);
  // The operation tables as data: a test holds the stubs to them.
  py::dict operations;
  operations["Facebook"] = binder::add_groups(
      client, {add_oauth_methods, add_page_methods, add_lead_methods, add_content_methods,
               graph::add_batch_methods});
  m.attr("Facebook") = client.build();
  m.attr("_OPERATIONS") = operations;
  m.attr("__all__") = py::make_tuple("Facebook", "DEFAULT_PAGE_WEBHOOK_FIELDS");
}

}  // namespace corvane::facebook

PYBIND11_MODULE(facebook, m) { corvane::facebook::init_module(m); }
