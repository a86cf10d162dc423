// The request helpers the Graph clients share: _signed, _get, _post, _delete, _list, _sign_url
// (bound from tables, as operations are), and the argument checks their operations use.
//
// The Graph API takes its credentials as query parameters: access_token and appsecret_proof
// (an HMAC of the token keyed with the app secret). With "Require App Secret" on, the platform
// refuses any call without the proof, and the paging.next links it hands back carry the token
// but never the proof. So _sign_url, which the pipeline runs on every URL it sends, proves the
// token of every request to a Graph host, paging links included.
// A helper a subclass (or an instance) overrides is what runs: graph::get and its kin call the
// library's own helpers in C++ only when attribute look-up finds them unreplaced.
#include "modules/graph_client.hpp"

#include <algorithm>
#include <string>
#include <string_view>

#include "core/query.hpp"
#include "modules/graph_errors.hpp"
#include "modules/graph_texts.hpp"
#include "py/errors.hpp"
#include "py/fields.hpp"
#include "py/names.hpp"
#include "py/values.hpp"

namespace corvane::graph {
namespace {

pyutil::Immortal g_appsecret_proof;  // corvane.crypto.appsecret_proof

// ---- the helpers ----

using binder::Args;

// self.request(METHOD, url, params=<the query signed as _signed signs it>[, json=json]).
py::object send(const char* method, py::handle self, py::handle url, py::handle token,
                const py::dict& query, py::handle json = {});

// The body of _get, _post (both flavours) and _delete: request() with the method `Method`.
template <pyutil::Literal Method, bool Json = false>
py::object send_now(py::object self, Args args) {
  if constexpr (Json) return send(Method.text, self, args[0], args[1], args.extras(), args[2]);
  return send(Method.text, self, args[0], args[1], args.extras());
}

// self.paginate(url, params=<the query signed>, max_items=max_items).
py::object paginate(py::handle self, py::handle url, py::handle token, const py::dict& query,
                    py::handle max_items) {
  return py::handle(self).attr(pyutil::name<"paginate">())(
      url, py::arg("params") = sign(self, token, query), py::arg("max_items") = max_items);
}

py::object list_now(py::object self, Args args) {
  return paginate(self, args[0], args[1], args.extras(), args[2]);
}

template <ProofRule Rule>
py::object signed_now(py::object self, Args args) {
  return signed_query(self, args[0], args[1], Rule);
}

// Whether `url` goes to a Graph host: the Graph API's, the Instagram Graph host, or the host the
// client's URL builder is pointed at (a stand-in of either).
bool to_graph_host(py::handle self, std::string_view url) {
  const std::string origin = core::url_origin(url);
  if (origin.empty()) return false;
  if (origin == "https://graph.facebook.com" || origin == "https://graph.instagram.com") {
    return true;
  }
  py::object builder = py::getattr(self, "graph", py::none());
  py::object host =
      builder.is_none() ? py::object(py::none()) : py::getattr(builder, "host", py::none());
  return PyUnicode_Check(host.ptr()) && core::url_origin(pyutil::utf8(host)) == origin;
}

py::object sign_url_now(py::object self, Args args) {
  py::object secret = py::getattr(self, pyutil::name<"app_secret">());
  if (!PyUnicode_Check(secret.ptr()) || !pyutil::truthy(secret)) return args[0];
  const std::string_view target = pyutil::utf8(args[0]);
  if (!to_graph_host(self, target)) return args[0];
  return py::str(core::with_appsecret_proof(target, pyutil::utf8(secret)));
}

// The helpers check no types of their own: request() refuses a wrong url, _signed a wrong token.
const binder::Param kUrl{"url", &binder::kAnything};
const binder::Param kToken{"token", &binder::kAnything};

enum HelperRow : std::size_t { kGetRow, kDeleteRow, kListRow };  // rows of kHelpers
const binder::Operation kHelpers[] = {
    {"_get", {kUrl, kToken},
     "GET url through request(), signed with token; every further named value is one query "
     "parameter. Returns the decoded body.",
     nullptr, send_now<"GET">, nullptr, true},
    {"_delete", {kUrl, kToken},
     "DELETE url through request(), signed with token; every further named value is one query "
     "parameter. Returns the decoded body.",
     nullptr, send_now<"DELETE">, nullptr, true},
    {"_list", {kUrl, kToken, {"max_items", &binder::kAnything, "500", true}},
     "Collects a Graph list through paginate(): the first request is signed with token and "
     "carries every further named value; later pages follow the platform's own links, signed "
     "by _sign_url. Returns at most max_items items.",
     nullptr, list_now, nullptr, true},
    {"_sign_url", {{"url", &binder::kText}},
     "url with the appsecret_proof of the access_token it carries, when it goes to a Graph host "
     "and the client has an app secret: any proof already in it is replaced, every other query "
     "member is kept exactly as written. The pipeline runs it on every URL it sends, so the "
     "platform's paging.next links (which carry the token but never the proof) are signed too.",
     nullptr, sign_url_now},
};

constexpr const char* kSignedDoc =
    "A new dict of query parameters: a copy of params plus access_token and appsecret_proof "
    "for token. None or an empty token adds nothing (the OAuth token requests authenticate "
    "with client_secret instead). params is never modified.";

template <ProofRule Rule>
const binder::Operation kSigned[] = {
    {"_signed", {kToken, {"params", &binder::kAnything, "None"}}, kSignedDoc, nullptr,
     signed_now<Rule>},
};

const binder::Operation kPostQuery[] = {
    {"_post", {kUrl, kToken},
     "POST url through request(), signed with token; every further named value is one query "
     "parameter (the Graph API reads them from the query, not from a body). Returns the "
     "decoded body.",
     nullptr, send_now<"POST">, nullptr, true},
};
const binder::Operation kPostJson[] = {
    {"_post", {kUrl, kToken, {"json", &binder::kAnything, "None"}},
     "POST url through request(), signed with token; json is sent as the request body, every "
     "further named value is one query parameter. Returns the decoded body.",
     nullptr, send_now<"POST", true>, nullptr, true},
};

bool is_id_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '_' || c == '-' || c == '.';
}

}  // namespace

void init() {
  g_appsecret_proof =
      pyutil::Immortal(py::module_::import("corvane.crypto").attr("appsecret_proof"));
}

void add_request_helpers(pyutil::ClassBuilder& cls, ProofRule rule, PostBody post) {
  // Owned by no one class: each module adds them to its one client.
  binder::add_methods<kHelpers>(cls, "GraphClient");
  if (rule == ProofRule::kAlways) {
    binder::add_methods<kSigned<ProofRule::kAlways>>(cls, "GraphClient");
  } else {
    binder::add_methods<kSigned<ProofRule::kWhenSecret>>(cls, "GraphClient");
  }
  if (post == PostBody::kJson) {
    binder::add_methods<kPostJson>(cls, "GraphClient");
  } else {
    binder::add_methods<kPostQuery>(cls, "GraphClient");
  }
  add_error_rules(cls);
}

py::dict signed_query(py::handle self, py::handle token, py::handle params, ProofRule rule) {
  py::dict query = pyutil::truthy(params) ? pyutil::copy_dict(params) : py::dict();
  if (!pyutil::truthy(token)) return query;
  if (!PyUnicode_Check(token.ptr())) {
    throw py::type_error(texts::kSignedToken + std::string(Py_TYPE(token.ptr())->tp_name));
  }
  // Removed first, so that the credentials come after the caller's keys.
  for (const char* key : {"access_token", "appsecret_proof"}) {
    if (PyDict_DelItemString(query.ptr(), key) < 0) PyErr_Clear();
  }
  query["access_token"] = token;
  py::object secret = py::getattr(self, pyutil::name<"app_secret">());
  if (rule == ProofRule::kAlways || pyutil::truthy(secret)) {
    if (!g_appsecret_proof) init();
    query["appsecret_proof"] = g_appsecret_proof.get()(token, secret);
  }
  return query;
}

// ---- arguments ----

py::str node_id(py::handle value, const char* function, const char* name) {
  py::str id = binder::text(value, function, name);
  const std::string_view chars = pyutil::utf8(id);
  const bool dots_only = std::all_of(chars.begin(), chars.end(), [](char c) { return c == '.'; });
  if (chars.empty() || dots_only || !std::all_of(chars.begin(), chars.end(), is_id_char)) {
    binder::wrong_value(id, function, name, texts::kGraphId);
  }
  return id;
}

const binder::Kind kNodeId{"str", [](py::handle value, const char* operation,
                                     const char* parameter) -> py::object {
                             return node_id(value, operation, parameter);
                           }};

const binder::Kind kNodeIdOrNone{"str | None", [](py::handle value, const char* operation,
                                                 const char* parameter) -> py::object {
                                  py::object id = binder::text_or_none(value, operation, parameter);
                                  if (!pyutil::truthy(id)) return id;
                                  return node_id(id, operation, parameter);
                                }};

const binder::Kind kNodeIds{"list[str] | tuple[str, ...] | None",
                            [](py::handle value, const char* operation,
                               const char* parameter) -> py::object {
                              py::list ids;
                              for (py::handle id : binder::texts(value, operation, parameter)) {
                                ids.append(node_id(id, operation, parameter));
                              }
                              return ids;
                            }};

py::str join_commas(py::handle items) { return py::str(",").attr("join")(items); }

namespace {

// The helper attribute look-up finds on the client, and the C function behind it when it is
// one of the library's own (null when a subclass or the instance replaced it).
struct Found {
  py::object bound;
  PyCFunction function = nullptr;
};

Found look_up(py::handle self, py::handle name) {
  Found out{py::reinterpret_steal<py::object>(PyObject_GetAttr(self.ptr(), name.ptr()))};
  if (!out.bound) throw py::error_already_set();
  if (PyMethod_Check(out.bound.ptr())) {
    PyObject* function = PyMethod_GET_FUNCTION(out.bound.ptr());
    if (PyCFunction_Check(function)) out.function = PyCFunction_GET_FUNCTION(function);
  }
  return out;
}

py::object send(const char* method, py::handle self, py::handle url, py::handle token,
                const py::dict& query, py::handle json) {
  py::object request = py::getattr(self, pyutil::name<"request">());
  if (json && !json.is_none()) {
    return request(method, url, py::arg("params") = sign(self, token, query),
                   py::arg("json") = json);
  }
  return request(method, url, py::arg("params") = sign(self, token, query));
}

}  // namespace

py::object sign(py::handle self, py::handle token, const py::dict& query) {
  const Found found = look_up(self, pyutil::name<"_signed">());
  if (found.function == binder::entry_of<kSigned<ProofRule::kAlways>, 0>()) {
    return signed_query(self, token, query, ProofRule::kAlways);
  }
  if (found.function == binder::entry_of<kSigned<ProofRule::kWhenSecret>, 0>()) {
    return signed_query(self, token, query, ProofRule::kWhenSecret);
  }
  return found.bound(token, query);
}

namespace {

// self.<Name>(url, token, **query): sent in C++ while look-up finds row Row of kHelpers.
template <pyutil::Literal Name, std::size_t Row>
py::object through(const char* method, py::handle self, py::handle url, py::handle token,
                   const py::dict& query) {
  const Found found = look_up(self, pyutil::name<Name>());
  if (found.function == binder::entry_of<kHelpers, Row>()) {
    return send(method, self, url, token, query);
  }
  return found.bound(url, token, **query);
}

}  // namespace

py::object get(py::handle self, py::handle url, py::handle token, py::dict query) {
  return through<"_get", kGetRow>("GET", self, url, token, query);
}

py::object post(py::handle self, py::handle url, py::handle token, py::dict query,
                py::handle json) {
  const Found found = look_up(self, pyutil::name<"_post">());
  if (found.function == binder::entry_of<kPostQuery, 0>() ||
      found.function == binder::entry_of<kPostJson, 0>()) {
    return send("POST", self, url, token, query, json);
  }
  if (json) return found.bound(url, token, json, **query);
  return found.bound(url, token, **query);
}

bridge::Task<py::object> post_value(py::object self, py::object url, py::object token,
                                    const char* key, py::object value) {
  py::dict query;
  query[key] = std::move(value);
  co_return co_await post(self, url, token, std::move(query));
}

py::str flag(py::handle value) { return py::str(pyutil::truthy(value) ? "true" : "false"); }

py::object del(py::handle self, py::handle url, py::handle token, py::dict query) {
  return through<"_delete", kDeleteRow>("DELETE", self, url, token, query);
}

py::object list(py::handle self, py::handle url, py::handle token, py::dict query,
                py::handle max_items) {
  py::object limit = max_items ? py::reinterpret_borrow<py::object>(max_items) : py::int_(500);
  const Found found = look_up(self, pyutil::name<"_list">());
  if (found.function != binder::entry_of<kHelpers, kListRow>()) {
    return found.bound(url, token, py::arg("max_items") = limit, **query);
  }
  return paginate(self, url, token, query, limit);
}

py::object merged_tokens(const clients::Shared& shared, py::handle short_lived,
                         py::handle long_lived) {
  py::dict merged = pyutil::copy_dict(short_lived);
  if (PyDict_Check(long_lived.ptr())) merged.attr("update")(long_lived);
  return shared.token_bundle.get().attr("from_response")(merged);
}

py::object urls(py::handle self) { return py::handle(self).attr(pyutil::name<"graph">()); }

py::object edge(py::handle self, py::handle id, const char* name) {
  return urls(self).attr("edge")(id, name);
}

py::object node(py::handle self, py::handle id) { return urls(self).attr("node")(id); }

py::dict fields(const char* name) {
  py::dict query;
  query["fields"] = pyutil::field_set(std::string_view(name));
  return query;
}

py::bool_ succeeded(py::handle self, py::object answer) {
  py::object data = require_json(self, std::move(answer));
  return py::bool_(pyutil::truthy(pyutil::member(data, "success")));
}

py::object version_of(py::handle self) {
  return py::getattr(py::getattr(self, "graph", py::none()), "version", py::none());
}

py::object iterate_signed(py::handle self, py::handle url, py::handle token, py::dict query,
                          py::handle convert, py::handle each_page) {
  py::object iterate = py::getattr(self, pyutil::name<"_iterate">());
  py::dict options;
  options["params"] = sign(self, token, query);
  if (convert) options["convert"] = convert;
  if (each_page) options["each_page"] = each_page;
  return iterate(url, **options);
}

bridge::Task<Tolerated> get_tolerating_refusal(py::object self, py::object url, py::object token,
                                               py::dict query) {
  Tolerated result;
  py::object answer;
  try {
    py::object answer_call = get(self, url, token, std::move(query));
    answer = co_await std::move(answer_call);
  } catch (py::error_already_set& e) {
    if (!is_refusal(e)) throw;
    result.refusal = e.value();
    co_return result;
  }
  // Outside the try: an answer that is not JSON is no refusal to tolerate.
  result.data = require_json(self, std::move(answer));
  co_return result;
}

}  // namespace corvane::graph
