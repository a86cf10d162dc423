// corvane.linkedin: the LinkedIn client (construction, from_env, repr), the pieces its
// operations share, and the module's initialisation. The operations live in oauth.cpp
// (headers, sign-in, tokens, profile), errors.cpp (error answers), posts.cpp, publish.cpp and
// walk.cpp (posts) and organizations.cpp (company pages).
#include <pybind11/pybind11.h>

#include <string>

#include "modules/linkedin/internal.hpp"

namespace corvane::linkedin {

ModuleState& state() {
  static ModuleState s;
  return s;
}

const binder::Kind kAuthor{"str", [](py::handle value, const char* operation,
                                     const char* parameter) -> py::object {
                             py::str urn = binder::text(value, operation, parameter);
                             if (pyutil::truthy(urn.attr("startswith")("urn:"))) return urn;
                             return person_urn(urn);
                           }};

py::str person_urn(py::handle sub) { return py::str("urn:li:person:") + py::str(sub); }

py::object headers(py::handle self, py::handle token, py::handle extra) {
  py::object hook = self.attr(pyutil::name<"_headers">());
  return extra ? hook(token, extra) : hook(token);
}

py::object send(py::handle self, const char* method, py::handle url, py::dict options) {
  return self.attr(pyutil::name<"request">())(method, url, **options);
}

py::object rest(py::handle path) { return state().endpoints.get().attr("rest")(path); }

py::object find(py::handle self, py::handle token, const char* resource, py::dict query) {
  py::dict extra, options;
  extra["X-RestLi-Method"] = "FINDER";
  options["params"] = std::move(query);
  options["headers"] = headers(self, token, extra);
  return send(self, "GET", rest(py::str(resource)), std::move(options));
}

py::object wire_url(py::handle text) {
  // Resolved at the first request, not at import: yarl comes with the HTTP layer.
  if (!state().url_type) state().url_type = pyutil::Immortal(py::module_::import("yarl").attr("URL"));
  return state().url_type.get()(text, py::arg("encoded") = true);
}

namespace {

using pyutil::guarded;

constexpr const char* kModuleDoc = R"doc(The LinkedIn client of corvane.

LinkedIn signs members in with OAuth 2.0 and OpenID Connect, reads their profile from the
OpenID userinfo endpoint, and lists, publishes and deletes posts through the versioned REST
API, whose every request carries a "LinkedIn-Version" header. The one log record: a warning on
the "corvane.linkedin" logger when LinkedIn refuses the version sent (426).
)doc";

constexpr const char* kClassDoc = R"doc(Client for LinkedIn's OAuth, OpenID userinfo and versioned REST API.

Built once with the app's client id and secret, it holds no member token: every operation takes
the token it acts with, so one client serves every member of the app, with any number of
operations in flight.

    async with LinkedIn(client_id="...", client_secret="...") as li:
        link = li.login_url("https://example.com/cb", state=state)
        bundle = await li.exchange_code(code, "https://example.com/cb")
        me = await li.me(bundle.access_token)
        await li.create_post(bundle.access_token, me.id, "Hello")
)doc";

const binder::Signature kInitSig{
    "LinkedIn", {"self"}, 1, {"client_id", "client_secret", "api_version", "scopes"}};

PyObject* init(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    binder::BoundArgs bound = binder::bind(kInitSig, args, kwargs);
    const py::object& self = bound.values[0];
    // Every type is checked before the base builds anything.
    auto text_or = [&](std::size_t i, const char* name, py::handle fallback) -> py::object {
      if (!bound.values[i]) return py::reinterpret_borrow<py::object>(fallback);
      return binder::text(bound.values[i], "LinkedIn", name);
    };
    py::object client_id = text_or(1, "client_id", py::str(""));
    py::object client_secret = text_or(2, "client_secret", py::str(""));
    py::object version = text_or(3, "api_version", state().default_version.get());
    // A copy: the host's list may change later, the client's scopes may not.
    py::list scopes = binder::texts(bound.values[4], "LinkedIn", "scopes");
    if (PyList_GET_SIZE(scopes.ptr()) == 0) {
      scopes = binder::texts(state().default_scopes.get(), "LinkedIn", "DEFAULT_SCOPES");
    }

    state().base_client.get().attr("__init__")(self, **bound.extras);
    py::setattr(self, "client_id", client_id);
    py::setattr(self, "client_secret", client_secret);
    py::setattr(self, "api_version", version);
    py::setattr(self, "scopes", scopes);
    return py::none();
  });
}

// A variable that is set but empty is the empty text, not the default.
using Env = clients::EnvOption;
const Env kEnv[] = {{"client_id", "LINKEDIN_CLIENT_ID", Env::kEmptyText},
                    {"client_secret", "LINKEDIN_CLIENT_SECRET", Env::kEmptyText},
                    {"api_version", "LINKEDIN_API_VERSION", Env::kDefault}};

PyObject* from_env(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded(
      [&] { return clients::from_env(args, kwargs, kEnv, state().default_version.get()); });
}

py::object repr(py::object self, binder::Args) {
  return pyutil::instance_repr(self,
                               {{"client_id", py::getattr(self, "client_id", py::none())},
                                {"api_version", py::getattr(self, "api_version", py::none())}});
}

PyMethodDef init_def = pyutil::method_def(
    "__init__", init,
    // The signature line, with the default version of this process, is put in front at import
    // (add_setup_methods).
    "client_id, client_secret: the LinkedIn app's credentials (login_url() needs the id); "
    "api_version: the \"LinkedIn-Version\" of every REST request (YYYYMM); scopes: the "
    "default scopes of login_url() (None or [] gives DEFAULT_SCOPES). Further options "
    "(timeout, retry, session, user_agent, throttle) go to BaseClient. Wrong types raise TypeError. "
    "Nothing is sent.");

PyMethodDef from_env_def = pyutil::method_def(
    "from_env", from_env,
    "from_env(cls, **options)\n--\n\n"
    "A client from LINKEDIN_CLIENT_ID, LINKEDIN_CLIENT_SECRET (default '') and "
    "LINKEDIN_API_VERSION (default DEFAULT_LINKEDIN_VERSION); a variable set but empty gives "
    "''. Further options go to the constructor.");

}  // namespace

void add_setup_methods(pyutil::ClassBuilder& cls) {
  static std::string init_doc;
  init_doc = std::string("__init__(self, *, client_id='', client_secret='', api_version=") +
             std::string(py::repr(state().default_version.get())) +
             ", scopes=None, **options)\n--\n\n" + init_def.ml_doc;
  init_def.ml_doc = init_doc.c_str();
  clients::add_setup<repr>(cls, "LinkedIn", &init_def, &from_env_def);
}

void init_module(py::module_ m) {
  ModuleState& s = state();
  py::module_ endpoints = clients::init(m, kModuleDoc, s, "linkedin").endpoints;
  s.endpoints = pyutil::Immortal(endpoints.attr("LinkedIn"));
  s.default_version = pyutil::Immortal(endpoints.attr("DEFAULT_LINKEDIN_VERSION"));

  py::list scopes;
  for (const char* scope : {"openid", "profile", "email", "w_member_social"}) scopes.append(scope);
  s.default_scopes = pyutil::Immortal(scopes);
  m.attr("DEFAULT_SCOPES") = scopes;
  // What a host adds to the sign-in scopes to read and post as the member's company pages.
  py::list organization_scopes;
  for (const char* scope : {"r_organization_social", "w_organization_social"}) {
    organization_scopes.append(scope);
  }
  m.attr("ORGANIZATION_SCOPES") = organization_scopes;

  pyutil::ClassBuilder client = clients::client_class(s, "linkedin", "LinkedIn", kClassDoc);
  add_setup_methods(client);
  add_error_methods(client);
  // The operation tables as data: a test holds the stubs to them.
  py::dict operations;
  operations["LinkedIn"] = binder::add_groups(
      client, {add_oauth_methods, add_post_methods, add_walk_methods, add_organization_methods});
  m.attr("LinkedIn") = client.build();
  m.attr("_OPERATIONS") = operations;
  m.attr("__all__") = py::make_tuple("LinkedIn");
}

}  // namespace corvane::linkedin

PYBIND11_MODULE(linkedin, m) { corvane::linkedin::init_module(m); }
