// corvane.endpoints: every external address of the library, the URL builders for the Graph
// API, the Instagram Graph host and LinkedIn, and the named field sets (Fields).
#include <pybind11/pybind11.h>

#include <string>

#include "core/urls.hpp"
#include "py/binder.hpp"
#include "py/fields.hpp"
#include "py/names.hpp"
#include "py/pyclass.hpp"
#include "py/values.hpp"

namespace py = pybind11;
using corvane::binder::wrong_type;
using corvane::binder::wrong_value;

namespace {

// The UTF-8 form of a str argument, valid while `value` lives.
std::string_view text_arg(py::handle value, const char* operation, const char* parameter) {
  return corvane::pyutil::utf8(corvane::binder::text(value, operation, parameter));
}

constexpr const char* kDefaultGraphVersion = "v23.0";
constexpr const char* kDefaultLinkedInVersion = "202606";
constexpr const char* kGraphHost = "https://graph.facebook.com";
constexpr const char* kInstagramGraphHost = "https://graph.instagram.com";
constexpr const char* kFacebookDialog = "https://www.facebook.com/{version}/dialog/oauth";
constexpr const char* kInstagramDialog = "https://www.instagram.com/oauth/authorize";
constexpr const char* kInstagramTokenUrl = "https://api.instagram.com/oauth/access_token";
constexpr const char* kLinkedInOAuth = "https://www.linkedin.com/oauth/v2";
constexpr const char* kLinkedInApi = "https://api.linkedin.com/v2";
constexpr const char* kLinkedInRest = "https://api.linkedin.com/rest";

using corvane::binder::Args;
using corvane::pyutil::name;

// Module constants are read at each call, like a Python module's globals.
py::handle g_globals;  // the module's __dict__, kept for the process

// A Graph builder's version: text, not empty. An empty version would produce "host//path",
// which the platform answers with an error that no longer says why.
py::object version_kind(py::handle value, const char* operation, const char* parameter) {
  if (text_arg(value, operation, parameter).empty()) {
    wrong_value(value, operation, parameter, "a non-empty str such as 'v23.0'");
  }
  return py::reinterpret_borrow<py::object>(value);
}

// Lists and str pass PyMapping_Check, and so does every class with __getitem__, a Mapping
// written in Python included: what a mapping has and they lack is items(). The body gets the
// bound items method, fetched once.
py::object params_kind(py::handle value, const char* operation, const char* parameter) {
  PyObject* items_method =
      PyMapping_Check(value.ptr()) ? PyObject_GetAttrString(value.ptr(), "items") : nullptr;
  if (items_method == nullptr) {
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_AttributeError))
      throw py::error_already_set();
    PyErr_Clear();
    wrong_type(value, operation, parameter, "a mapping");
  }
  return py::reinterpret_steal<py::object>(items_method);
}

const corvane::binder::Kind kVersion{"str", version_kind};
const corvane::binder::Kind kParams{"Mapping[str, Any]", params_kind};

py::object init(py::object self, Args args) {
  self.attr(name<"_version">()) = args[0];
  return py::none();
}

py::object version_of(py::object self, Args) { return self.attr(name<"_version">()); }

std::string host_of(py::handle self) {
  const py::object host = self.attr(name<"host">());
  return std::string(text_arg(host, "Graph", "host"));
}

// host/version/path, the host read from the class at each call, so that a subclass or a test
// may point a builder elsewhere.
py::str url_of(py::handle self, std::string_view path) {
  const py::object version = self.attr(name<"_version">());
  return py::str(
      corvane::core::versioned_url(host_of(self), corvane::pyutil::utf8(version), path));
}

// url(path) and node(node_id).
py::object url(py::object self, Args args) { return url_of(self, corvane::pyutil::utf8(args[0])); }

py::object edge(py::object self, Args args) {
  std::string path(corvane::pyutil::utf8(args[0]));
  path.push_back('/');
  path.append(corvane::pyutil::utf8(args[1]));
  return url_of(self, path);
}

// The Graph endpoints at a fixed path of the builder's version.
template <corvane::pyutil::Literal Path>
py::object fixed_path(py::object self, Args) {
  return url_of(self, Path.text);
}

// The Instagram Graph host's endpoints without a version.
template <corvane::pyutil::Literal Path>
py::object unversioned(py::object self, Args) {
  return py::str(host_of(self) + Path.text);
}

py::object repr(py::object self, Args) {
  return py::str("{}({!r})").format(py::type::of(self).attr("__name__"),
                                    self.attr(name<"_version">()));
}

// Facebook's OAuth dialog with the pairs of params.items() as the query, in their order; the
// "?" is written even without parameters.
py::object oauth_dialog(py::object self, Args args) {
  const py::object items = args[0]();
  // The pairs own their text: the views below point into these str objects.
  py::list texts;
  corvane::core::QueryPairs pairs;
  for (py::handle item : items) {
    // Unpacked as `for name, value in params.items()` would: anything but two parts is refused.
    const char* const what = "a (name, value) pair";
    const py::object parts =
        py::reinterpret_steal<py::object>(PySequence_Fast(item.ptr(), "not a sequence"));
    if (!parts) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
      PyErr_Clear();
      wrong_type(item, "oauth_dialog", "each item of params.items()", what);
    }
    // Its size, never its repr: an item may carry a secret.
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(parts.ptr());
    if (size != 2) {
      throw py::value_error(std::string("oauth_dialog: each item of params.items() must be ") +
                            what + ", not " + std::to_string(size) + " items");
    }
    const py::str name = corvane::pyutil::text_form(PySequence_Fast_GET_ITEM(parts.ptr(), 0));
    const py::str value = corvane::pyutil::text_form(PySequence_Fast_GET_ITEM(parts.ptr(), 1));
    texts.append(name);
    texts.append(value);
    pairs.emplace_back(corvane::pyutil::utf8(name), corvane::pyutil::utf8(value));
  }
  const py::object dialog = py::reinterpret_borrow<py::dict>(g_globals)["FACEBOOK_DIALOG"];
  const py::object version = self.attr(name<"_version">());
  std::string out = corvane::core::fill_placeholder(
      text_arg(dialog, "oauth_dialog", "FACEBOOK_DIALOG"), "{version}",
      corvane::pyutil::utf8(version));
  out.push_back('?');
  out.append(corvane::core::encode_query(pairs));
  return py::str(out);
}

// base + suffix, with base read from the module at call time.
py::str module_url(const char* base, std::string_view suffix) {
  const py::object value = py::reinterpret_borrow<py::dict>(g_globals)[base];
  std::string out(text_arg(value, "LinkedIn", base));
  out.append(suffix);
  return py::str(out);
}

// LinkedIn's addresses at a fixed suffix of the module constant `Base`.
template <corvane::pyutil::Literal Base, corvane::pyutil::Literal Suffix>
py::str linkedin_url() {
  return module_url(Base.text, Suffix.text);
}

// Fields' metaclass: attribute reads that find nothing on the class become field-set
// look-ups, and the listing is what dir() shows.
py::object make_fields(py::module_& m) {
  py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
  py::dict meta_ns;
  meta_ns["__module__"] = m.attr("__name__");
  meta_ns["__doc__"] =
      "Metaclass of Fields: resolves Fields.NAME through the current policy and lists the\n"
      "available set names.";
  py::object meta = type("_FieldsMeta", py::make_tuple(type), meta_ns);

  meta.attr("__getattr__") = py::cpp_function(
      [](py::handle, const py::str& name) { return corvane::pyutil::field_set(name); },
      py::name("__getattr__"), py::is_method(meta), py::arg("name"),
      "__getattr__(cls, name)\n--\n\n"
      "The field list of the set ``name`` in the current policy (asked anew at each read).\n"
      "A name starting with \"_\" is an AttributeError without asking the policy; an unknown\n"
      "set is AttributeError(\"Noma'lum maydon to'plami: NAME\").");
  // dir(Fields) lists the same names as Fields.names().
  for (const char* name : {"__dir__", "names"}) {
    const std::string doc = std::string(name) +
                            "(cls)\n--\n\n"
                            "The names of all available field sets (the baseline's and the "
                            "current policy's),\nunique and sorted.";
    meta.attr(name) = py::cpp_function(
        [](py::handle) { return corvane::pyutil::field_set_names(); }, py::name(name),
        py::is_method(meta), doc.c_str());
  }

  py::dict ns;
  ns["__module__"] = m.attr("__name__");
  ns["__doc__"] =
      "Named Graph API field sets: ``Fields.FB_PAGE``, ``Fields.IG_PROFILE``, ... Each read\n"
      "asks corvane.policy for the current list, so renewed tables apply at once.\n"
      "``Fields.names()`` (and ``dir(Fields)``) list the available names.";
  ns["__slots__"] = py::tuple();
  m.attr("_FieldsMeta") = meta;
  return meta("Fields", py::tuple(), ns);
}

using corvane::binder::kText;
using corvane::binder::Operation;

// A builder's constructor: its checks name the class.
Operation constructor(const char* cls, const char* doc) {
  return {.name = "__init__",
          .params = {{"version", &kVersion, "'v23.0'"}},
          .doc = doc,
          .now = init,
          .caller = cls};
}

// What makes a builder (constructor, version, repr), apart from its operations.
const Operation kGraphSetup[] = {
    constructor("Graph", "A builder for ``version`` (text such as \"v23.0\"; not empty)."),
    {.name = "version",
     .doc = "The Graph API version, e.g. \"v23.0\".",
     .now = version_of,
     .as = Operation::As::property},
    {"__repr__", {}, nullptr, nullptr, repr},
};

const Operation kGraphOperations[] = {
    {"url", {{"path", &kText, "''"}},
     "``host/version/path`` with the path's leading \"/\" removed; ``host/version`` for an\n"
     "empty path. The path goes in as it is, unescaped.",
     nullptr, url, "str"},
    {"node", {{"node_id", &kText}}, "The URL of one object: ``url(node_id)``.", nullptr, url,
     "str"},
    {"edge", {{"node_id", &kText}, {"edge", &kText}},
     "The URL of a list of an object: ``url(node_id/edge)``.", nullptr, edge, "str"},
    {"oauth_dialog", {{"params", &kParams}},
     "Facebook's OAuth dialog for this version, with ``params`` (a mapping, in order) as\n"
     "the query: names and text forms of the values percent-encoded (space as %20, \":\"\n"
     "and \"/\" encoded). The \"?\" is written even without parameters.",
     nullptr, oauth_dialog, "str"},
    {"access_token", {}, "The token exchange endpoint: ``url(\"oauth/access_token\")``.", nullptr,
     fixed_path<"oauth/access_token">, "str"},
    {"debug_token", {}, "The token inspection endpoint: ``url(\"debug_token\")``.", nullptr,
     fixed_path<"debug_token">, "str"},
    {"me", {}, "``url(\"me\")``.", nullptr, fixed_path<"me">, "str"},
    {"my_accounts", {},
     "``url(\"me/accounts\")``: the Pages the user administers, with their page tokens.",
     nullptr, fixed_path<"me/accounts">, "str"},
};

const Operation kInstagramSetup[] = {
    constructor("InstagramGraph", "A builder for ``version`` on the Instagram Graph host."),
};

const Operation kInstagramOperations[] = {
    {"long_lived_token", {},
     "``host/access_token``, without a version: exchanges a short-lived Instagram token.",
     nullptr, unversioned<"/access_token">, "str"},
    {"refresh_token", {},
     "``host/refresh_access_token``, without a version: refreshes a long-lived token.", nullptr,
     unversioned<"/refresh_access_token">, "str"},
};

// LinkedIn's addresses need no state: only class-level operations.
struct LinkedInEndpoints {};

}  // namespace

PYBIND11_MODULE(endpoints, m) {
  py::options options;
  options.disable_function_signatures();
  m.doc() =
      "Addresses and URL builders for the Graph API, the Instagram Graph host and LinkedIn,\n"
      "and the named field sets (``Fields``) that operations ask the Graph API for.";

  m.attr("DEFAULT_GRAPH_VERSION") = kDefaultGraphVersion;
  m.attr("DEFAULT_LINKEDIN_VERSION") = kDefaultLinkedInVersion;
  m.attr("GRAPH_HOST") = kGraphHost;
  m.attr("INSTAGRAM_GRAPH_HOST") = kInstagramGraphHost;
  m.attr("FACEBOOK_DIALOG") = kFacebookDialog;
  m.attr("INSTAGRAM_DIALOG") = kInstagramDialog;
  m.attr("INSTAGRAM_TOKEN_URL") = kInstagramTokenUrl;
  m.attr("LINKEDIN_OAUTH") = kLinkedInOAuth;
  m.attr("LINKEDIN_API") = kLinkedInApi;
  m.attr("LINKEDIN_REST") = kLinkedInRest;

  g_globals = py::object(m.attr("__dict__")).release();

  corvane::pyutil::ClassBuilder graph(
      "corvane.endpoints", "Graph", py::make_tuple(),
      "A URL builder for the Graph API host at one API version.");
  corvane::binder::add_methods<kGraphSetup>(graph, "Graph");
  // The operations' tables as data: a test holds the stubs to them.
  py::dict operations;
  operations["Graph"] = corvane::binder::add_methods<kGraphOperations>(graph, "Graph");
  graph.attr("host", py::str(kGraphHost)).attr("__slots__", py::make_tuple("_version"));
  const py::object graph_type = graph.build();
  m.attr("Graph") = graph_type;

  corvane::pyutil::ClassBuilder instagram(
      "corvane.endpoints", "InstagramGraph", py::make_tuple(graph_type),
      "A Graph URL builder on the Instagram Graph host, where tokens of the Instagram login\n"
      "flow work; adds the two unversioned token endpoints.");
  corvane::binder::add_methods<kInstagramSetup>(instagram, "InstagramGraph");
  operations["InstagramGraph"] =
      corvane::binder::add_methods<kInstagramOperations>(instagram, "InstagramGraph");
  instagram.attr("host", py::str(kInstagramGraphHost)).attr("__slots__", py::tuple());
  m.attr("InstagramGraph") = instagram.build();
  m.attr("_OPERATIONS") = operations;

  py::class_<LinkedInEndpoints>(m, "LinkedIn",
      "LinkedIn's OAuth, API and versioned REST addresses; every operation belongs to the\n"
      "class and needs no builder object.")
      .def(py::init<>(), "__init__(self)\n--\n\nAn object is not needed; call the operations on the class.")
      .def_static("authorization", &linkedin_url<"LINKEDIN_OAUTH", "/authorization">,
                  "authorization()\n--\n\n``LINKEDIN_OAUTH/authorization``: the sign-in page.")
      .def_static(
          "access_token", &linkedin_url<"LINKEDIN_OAUTH", "/accessToken">,
          "access_token()\n--\n\n``LINKEDIN_OAUTH/accessToken``: code exchange and refresh.")
      .def_static("introspect", &linkedin_url<"LINKEDIN_OAUTH", "/introspectToken">,
                  "introspect()\n--\n\n``LINKEDIN_OAUTH/introspectToken``: token inspection.")
      .def_static(
          "userinfo", &linkedin_url<"LINKEDIN_API", "/userinfo">,
          "userinfo()\n--\n\n``LINKEDIN_API/userinfo``: the OpenID Connect userinfo endpoint.")
      .def_static(
          "rest",
          [](const py::object& path) {
            const auto rest = text_arg(path, "rest", "path");
            std::string suffix = "/";
            suffix.append(corvane::core::strip_leading_slashes(rest));
            return module_url("LINKEDIN_REST", suffix);
          },
          py::arg("path"),
          "rest(path)\n--\n\n"
          "``LINKEDIN_REST/path`` with the path's leading \"/\" removed (``LINKEDIN_REST/`` for\n"
          "an empty path).");

  m.attr("Fields") = make_fields(m);
}
