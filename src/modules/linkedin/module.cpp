// corvane.linkedin: the LinkedIn client (construction, from_env, repr), the argument checks its
// operations share, and the module's initialisation. The operations live in oauth.cpp
// (headers, errors, sign-in, tokens, profile), posts.cpp and publish.cpp (posts).
#include <pybind11/pybind11.h>

#include <string>

#include "core/mask.hpp"
#include "modules/linkedin/internal.hpp"
#include "modules/graph_client.hpp"
#include "py/errors.hpp"
#include "py/values.hpp"

namespace corvane::linkedin {

ModuleState& state() {
  static ModuleState s;
  return s;
}

namespace {
std::string type_name(py::handle value) { return Py_TYPE(value.ptr())->tp_name; }
}  // namespace

py::str text(py::handle value, const char* function, const char* name) {
  if (!PyUnicode_Check(value.ptr())) {
    throw py::type_error(std::string(function) + ": " + name + " must be a str, not " +
                         type_name(value));
  }
  return py::reinterpret_borrow<py::str>(value);
}

py::object text_or_none(PyObject* value, const char* function, const char* name) {
  if (value == nullptr || value == Py_None) return py::none();
  return text(value, function, name);
}

py::list text_list(py::handle value, const char* function, const char* name) {
  py::list out;
  if (!value || value.is_none()) return out;
  if (!PyList_Check(value.ptr()) && !PyTuple_Check(value.ptr())) {
    throw py::type_error(std::string(function) + ": " + name + " must be a list of str, not " +
                         type_name(value));
  }
  for (py::handle item : py::iter(value)) out.append(text(item, function, name));
  return out;
}

void require(PyObject* value, const char* function, const char* name) {
  if (value == nullptr) {
    throw py::type_error(std::string(function) + "() missing required argument: '" + name + "'");
  }
}

void bad_answer(const char* operation, const char* what, const char* wanted, py::handle value,
                py::handle answer) {
  py::dict fields;
  fields["provider"] = "linkedin";
  fields["payload"] = answer;
  pyutil::raise_error("ApiError",
                      py::str(std::string(operation) + ": " + what + " must be " + wanted +
                              ", not " + type_name(value)),
                      fields);
}

py::object object_or_none(py::handle answer, const char* operation) {
  if (!answer.is_none() && !PyDict_Check(answer.ptr())) {
    bad_answer(operation, "LinkedIn's answer", "an object", answer, answer);
  }
  return py::reinterpret_borrow<py::object>(answer);
}

py::dict object_answer(py::handle answer, const char* operation) {
  if (!PyDict_Check(answer.ptr())) {
    bad_answer(operation, "LinkedIn's answer", "an object", answer, answer);
  }
  return py::reinterpret_borrow<py::dict>(answer);
}

py::int_ integer(PyObject* value, long fallback, const char* function, const char* name) {
  if (value == nullptr) return py::int_(fallback);
  if (!PyLong_Check(value) || PyBool_Check(value)) {
    throw py::type_error(std::string(function) + ": " + name + " must be an int, not " +
                         type_name(value));
  }
  return py::reinterpret_borrow<py::int_>(value);
}

py::dict finder_header() {
  py::dict extra;
  extra["X-RestLi-Method"] = "FINDER";
  return extra;
}

py::str person_urn(py::handle sub) { return py::str("urn:li:person:") + py::str(sub); }

py::str author_urn(py::handle author) {
  py::str urn = py::reinterpret_borrow<py::str>(author);
  if (pyutil::truthy(urn.attr("startswith")("urn:"))) return urn;
  return person_urn(urn);
}

py::object error_with_url(py::handle self, py::handle status, py::handle body, py::handle url) {
  py::object error = self.attr("_parse_error")(status, body);
  error.attr("url") = py::str(core::mask_secrets(pyutil::utf8(py::str(url))));
  return error;
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

const graph::Signature kInitSig{
    "LinkedIn", {"self"}, 1, {"client_id", "client_secret", "api_version", "scopes"}};
const graph::Signature kFromEnvSig{"from_env", {"cls"}, 1, {}};

PyObject* init(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    graph::BoundArgs bound = graph::bind(kInitSig, args, kwargs);
    const py::object& self = bound.values[0];
    // Every type is checked before the base builds anything.
    py::object client_id = bound.values[1] ? text(bound.values[1], "LinkedIn", "client_id")
                                           : py::str("");
    py::object client_secret =
        bound.values[2] ? text(bound.values[2], "LinkedIn", "client_secret") : py::str("");
    py::object version = bound.values[3]
                             ? py::object(text(bound.values[3], "LinkedIn", "api_version"))
                             : py::reinterpret_borrow<py::object>(state().default_version.get());
    py::list scopes = text_list(bound.values[4], "LinkedIn", "scopes");

    state().base_client.get().attr("__init__")(self, **bound.extras);
    self.attr("client_id") = client_id;
    self.attr("client_secret") = client_secret;
    self.attr("api_version") = version;
    // A copy: the host's list may change later, the client's scopes may not.
    self.attr("scopes") = PyList_GET_SIZE(scopes.ptr()) > 0
                              ? scopes
                              : text_list(state().default_scopes.get(), "LinkedIn", "DEFAULT_SCOPES");
    return py::none();
  });
}

PyObject* from_env(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    graph::BoundArgs bound = graph::bind(kFromEnvSig, args, kwargs);
    for (const char* name : {"client_id", "client_secret", "api_version"}) {
      if (pyutil::dict_has(bound.extras, name)) {
        throw py::type_error(std::string("from_env() got multiple values for keyword argument '") +
                             name + "'");
      }
    }
    // Read at each call: hosts and tests set the environment after import. A variable that is
    // set but empty is the empty text, not the default.
    py::object environ = py::module_::import("os").attr("environ");
    py::dict values;
    values["client_id"] = environ.attr("get")("LINKEDIN_CLIENT_ID", "");
    values["client_secret"] = environ.attr("get")("LINKEDIN_CLIENT_SECRET", "");
    values["api_version"] =
        environ.attr("get")("LINKEDIN_API_VERSION", state().default_version.get());
    for (auto [name, value] : bound.extras) values[name] = value;
    return bound.values[0](**values);
  });
}

PyObject* repr(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    static const char* keywords[] = {"self", nullptr};
    PyObject* self = nullptr;
    pyutil::parse_args(args, kwargs, "O:__repr__", keywords, &self);
    py::handle s(self);
    // The client secret stays out: reprs end up in logs and tracebacks.
    return py::str("{}(client_id={!r}, api_version={!r})")
        .format(py::type::of(s).attr("__name__"), py::getattr(s, "client_id", py::none()),
                py::getattr(s, "api_version", py::none()));
  });
}

PyMethodDef setup_methods[] = {
    pyutil::method_def(
        "__init__", init,
        // The signature line, with the default version of this process, is put in front at
        // import (add_setup_methods).
        "client_id, client_secret: the LinkedIn app's credentials (login_url() needs the id); "
        "api_version: the \"LinkedIn-Version\" of every REST request (YYYYMM); scopes: the "
        "default scopes of login_url() (None or [] gives DEFAULT_SCOPES). Further options "
        "(timeout, retry, session, user_agent, throttle) go to BaseClient. Wrong types raise TypeError. "
        "Nothing is sent."),
    pyutil::method_def("__repr__", repr, nullptr),
};

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
             ", scopes=None, **options)\n--\n\n" + setup_methods[0].ml_doc;
  setup_methods[0].ml_doc = init_doc.c_str();
  for (auto& def : setup_methods) cls.method(&def);
  cls.class_method(&from_env_def);
}

}  // namespace corvane::linkedin

PYBIND11_MODULE(linkedin, m) {
  using namespace corvane;
  using namespace corvane::linkedin;
  m.doc() = kModuleDoc;

  ModuleState& s = state();
  py::module_ http = py::module_::import("corvane.http");
  py::module_ endpoints = py::module_::import("corvane.endpoints");
  py::module_ models = py::module_::import("corvane.models");
  py::module_::import("corvane.errors");
  s.base_client = pyutil::Immortal(http.attr("BaseClient"));
  s.endpoints = pyutil::Immortal(endpoints.attr("LinkedIn"));
  s.default_version = pyutil::Immortal(endpoints.attr("DEFAULT_LINKEDIN_VERSION"));
  s.token_bundle = pyutil::Immortal(models.attr("TokenBundle"));
  s.profile = pyutil::Immortal(models.attr("Profile"));
  s.logger = pyutil::Immortal(pyutil::logger("corvane.linkedin"));

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

  pyutil::ClassBuilder client("corvane.linkedin", "LinkedIn",
                              py::make_tuple(http.attr("BaseClient")), kClassDoc);
  client.attr("provider", py::str("linkedin"));
  add_setup_methods(client);
  add_oauth_methods(client);
  add_post_methods(client);
  add_walk_methods(client);
  add_organization_methods(client);
  m.attr("LinkedIn") = client.build();
  m.attr("__all__") = py::make_tuple("LinkedIn");
}
