// The request helpers the Graph clients share: _signed, _get, _post, _delete, _list, and the
// argument checks their operations use.
//
// The Graph API takes its credentials as query parameters: access_token and appsecret_proof
// (an HMAC of the token keyed with the app secret). With "Require App Secret" on, the platform
// refuses any call without the proof, and the paging.next links it hands back carry the token
// but never the proof. So _sign_url, which the pipeline runs on every URL it sends, proves the
// token of every request to a Graph host, paging links included.
// Every helper goes through attribute lookup on the client (self._signed, self.request,
// self.paginate), so a subclass's override is what runs.
#include "modules/graph_client.hpp"

#include <algorithm>
#include <string>
#include <string_view>

#include "core/query.hpp"
#include "py/errors.hpp"
#include "py/names.hpp"
#include "py/values.hpp"

namespace corvane::graph {
namespace {

using pyutil::guarded;

pyutil::Immortal g_appsecret_proof;  // corvane.crypto.appsecret_proof

py::object appsecret_proof(py::handle token, py::handle secret) {
  if (!g_appsecret_proof) init();
  return g_appsecret_proof.get()(token, secret);
}

std::string type_name(py::handle value) { return Py_TYPE(value.ptr())->tp_name; }

// ---- the helpers ----

template <ProofRule Rule>
PyObject* signed_method(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    static const char* keywords[] = {"self", "token", "params", nullptr};
    PyObject *self = nullptr, *token = nullptr, *params = Py_None;
    pyutil::parse_args(args, kwargs, "OO|O:_signed", keywords, &self, &token, &params);
    return signed_query(self, token, params, Rule);
  });
}

// self.<verb>-style call: self.request(METHOD, url, params=self._signed(token, query)).
py::object send(const char* method, const BoundArgs& bound, py::object json = py::object()) {
  const py::object& self = bound.values[0];
  py::object query = self.attr("_signed")(bound.values[2], bound.extras);
  if (json && !json.is_none()) {
    return self.attr("request")(method, bound.values[1], py::arg("params") = query,
                                py::arg("json") = json);
  }
  return self.attr("request")(method, bound.values[1], py::arg("params") = query);
}

const Signature kGetSig{"_get", {"self", "url", "token"}, 3, {}};
const Signature kPostSig{"_post", {"self", "url", "token"}, 3, {}};
const Signature kPostJsonSig{"_post", {"self", "url", "token", "json"}, 3, {}};
const Signature kDeleteSig{"_delete", {"self", "url", "token"}, 3, {}};
const Signature kListSig{"_list", {"self", "url", "token"}, 3, {"max_items"}};

PyObject* get_method(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return send("GET", bind(kGetSig, args, kwargs)); });
}

template <PostBody Body>
PyObject* post_method(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    if constexpr (Body == PostBody::kJson) {
      BoundArgs bound = bind(kPostJsonSig, args, kwargs);
      return send("POST", bound, bound.values[3]);
    } else {
      return send("POST", bind(kPostSig, args, kwargs));
    }
  });
}

PyObject* delete_method(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return send("DELETE", bind(kDeleteSig, args, kwargs)); });
}

PyObject* list_method(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    BoundArgs bound = bind(kListSig, args, kwargs);
    const py::object& self = bound.values[0];
    py::object max_items = bound.values[3] ? bound.values[3] : py::int_(500);
    py::object query = self.attr("_signed")(bound.values[2], bound.extras);
    return self.attr("paginate")(bound.values[1], py::arg("params") = query,
                                 py::arg("max_items") = max_items);
  });
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
  py::object host = builder.is_none() ? py::object(py::none()) : py::getattr(builder, "host", py::none());
  return PyUnicode_Check(host.ptr()) && core::url_origin(pyutil::utf8(host)) == origin;
}

PyObject* sign_url_method(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    static const char* keywords[] = {"self", "url", nullptr};
    PyObject *self = nullptr, *url = nullptr;
    pyutil::parse_args(args, kwargs, "OO:_sign_url", keywords, &self, &url);
    py::str text = graph::text(url, "_sign_url", "url");
    py::object secret = py::handle(self).attr("app_secret");
    if (!PyUnicode_Check(secret.ptr()) || !pyutil::truthy(secret)) return std::move(text);
    const std::string_view target = pyutil::utf8(text);
    if (!to_graph_host(self, target)) return std::move(text);
    return py::str(core::with_appsecret_proof(target, pyutil::utf8(secret)));
  });
}

PyMethodDef sign_url_def = pyutil::method_def(
    "_sign_url", sign_url_method,
    "_sign_url(self, url)\n--\n\n"
    "url with the appsecret_proof of the access_token it carries, when it goes to a Graph host "
    "and the client has an app secret: any proof already in it is replaced, every other query "
    "member is kept exactly as written. The pipeline runs it on every URL it sends, so the "
    "platform's paging.next links (which carry the token but never the proof) are signed too.");

template <ProofRule Rule>
PyMethodDef signed_def = pyutil::method_def(
    "_signed", signed_method<Rule>,
    "_signed(self, token, params=None)\n--\n\n"
    "A new dict of query parameters: a copy of params plus access_token and appsecret_proof "
    "for token. None or an empty token adds nothing (the OAuth token requests authenticate "
    "with client_secret instead). params is never modified.");

PyMethodDef get_def = pyutil::method_def(
    "_get", get_method,
    "_get(self, url, token, **query)\n--\n\n"
    "GET url through request(), signed with token; every further named value is one query "
    "parameter. Returns the decoded body.");

template <PostBody Body>
PyMethodDef post_def = pyutil::method_def(
    "_post", post_method<Body>,
    Body == PostBody::kJson
        ? "_post(self, url, token, json=None, **query)\n--\n\n"
          "POST url through request(), signed with token; json is sent as the request body, "
          "every further named value is one query parameter. Returns the decoded body."
        : "_post(self, url, token, **query)\n--\n\n"
          "POST url through request(), signed with token; every further named value is one "
          "query parameter (the Graph API reads them from the query, not from a body). Returns "
          "the decoded body.");

PyMethodDef delete_def = pyutil::method_def(
    "_delete", delete_method,
    "_delete(self, url, token, **query)\n--\n\n"
    "DELETE url through request(), signed with token; every further named value is one query "
    "parameter. Returns the decoded body.");

PyMethodDef list_def = pyutil::method_def(
    "_list", list_method,
    "_list(self, url, token, *, max_items=500, **query)\n--\n\n"
    "Collects a Graph list through paginate(): the first request is signed with token and "
    "carries every further named value; later pages follow the platform's own links, signed "
    "by _sign_url. Returns at most max_items items.");

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
  cls.method(rule == ProofRule::kAlways ? &signed_def<ProofRule::kAlways>
                                        : &signed_def<ProofRule::kWhenSecret>);
  cls.method(&get_def);
  cls.method(post == PostBody::kJson ? &post_def<PostBody::kJson>
                                     : &post_def<PostBody::kQueryOnly>);
  cls.method(&delete_def);
  cls.method(&list_def);
  cls.method(&sign_url_def);
}

py::dict signed_query(py::handle self, py::handle token, py::handle params, ProofRule rule) {
  py::dict query = pyutil::truthy(params) ? pyutil::copy_dict(params) : py::dict();
  if (!pyutil::truthy(token)) return query;
  if (!PyUnicode_Check(token.ptr())) {
    throw py::type_error("_signed: token must be a str or None, not " + type_name(token));
  }
  // Removed first, so that the credentials come after the caller's keys.
  for (const char* key : {"access_token", "appsecret_proof"}) {
    if (PyDict_DelItemString(query.ptr(), key) < 0) PyErr_Clear();
  }
  query["access_token"] = token;
  py::object secret = self.attr("app_secret");
  if (rule == ProofRule::kAlways || pyutil::truthy(secret)) {
    query["appsecret_proof"] = appsecret_proof(token, secret);
  }
  return query;
}

// ---- arguments ----

py::str text(py::handle value, const char* function, const char* name) {
  return binder::text(value, function, name);
}

py::object text_or_none(py::handle value, const char* function, const char* name) {
  return binder::text_or_none(value, function, name);
}

py::str node_id(py::handle value, const char* function, const char* name) {
  py::str id = binder::text(value, function, name);
  const std::string_view chars = pyutil::utf8(id);
  const bool dots_only = std::all_of(chars.begin(), chars.end(), [](char c) { return c == '.'; });
  if (chars.empty() || dots_only || !std::all_of(chars.begin(), chars.end(), is_id_char)) {
    binder::wrong_value(id, function, name, "a Graph id (letters, digits, '_', '-', '.')");
  }
  return id;
}

const binder::Kind kNodeId{"str", [](py::handle value, const char* operation,
                                     const char* parameter) -> py::object {
                             return node_id(value, operation, parameter);
                           }};

py::list text_list(py::handle value, const char* function, const char* name) {
  return binder::texts(value, function, name);
}

py::str join_commas(py::handle items) { return py::str(",").attr("join")(items); }

py::object count(py::handle value, const char* function, const char* name) {
  return binder::count(value, function, name);
}

py::object token(py::handle value, const char* function, const char* name) {
  if (value.is_none()) return py::none();
  return binder::text(value, function, name);
}

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

template <class Method>
PyCFunction c_function(Method method) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

// The query signed as _signed signs it: in C++ unless _signed is overridden.
py::object signed_for(py::handle self, py::handle token, const py::dict& query) {
  const Found found = look_up(self, pyutil::name<"_signed">());
  if (found.function == c_function(signed_method<ProofRule::kAlways>)) {
    return signed_query(self, token, query, ProofRule::kAlways);
  }
  if (found.function == c_function(signed_method<ProofRule::kWhenSecret>)) {
    return signed_query(self, token, query, ProofRule::kWhenSecret);
  }
  return found.bound(token, query);
}

py::object send(const char* method, py::handle self, py::handle url, py::handle token,
                const py::dict& query) {
  py::object params = signed_for(self, token, query);
  return py::handle(self).attr(pyutil::name<"request">())(method, url,
                                                          py::arg("params") = params);
}

}  // namespace

py::object get(py::handle self, py::handle url, py::handle token, py::dict query) {
  const Found found = look_up(self, pyutil::name<"_get">());
  if (found.function == c_function(get_method)) return send("GET", self, url, token, query);
  return found.bound(url, token, **query);
}

py::object post(py::handle self, py::handle url, py::handle token, py::dict query) {
  // Either flavour of _post is the library's own; neither sends a body here.
  const Found found = look_up(self, pyutil::name<"_post">());
  if (found.function == c_function(post_method<PostBody::kQueryOnly>) ||
      found.function == c_function(post_method<PostBody::kJson>)) {
    return send("POST", self, url, token, query);
  }
  return found.bound(url, token, **query);
}

py::object del(py::handle self, py::handle url, py::handle token, py::dict query) {
  const Found found = look_up(self, pyutil::name<"_delete">());
  if (found.function == c_function(delete_method)) return send("DELETE", self, url, token, query);
  return found.bound(url, token, **query);
}

py::object list(py::handle self, py::handle url, py::handle token, py::dict query,
                py::handle max_items) {
  py::object limit = max_items ? py::reinterpret_borrow<py::object>(max_items) : py::int_(500);
  const Found found = look_up(self, pyutil::name<"_list">());
  if (found.function != c_function(list_method)) {
    return found.bound(url, token, py::arg("max_items") = limit, **query);
  }
  py::object params = signed_for(self, token, query);
  return py::handle(self).attr(pyutil::name<"paginate">())(url, py::arg("params") = params,
                                                           py::arg("max_items") = limit);
}


py::dict merged_tokens(py::handle short_lived, py::handle long_lived) {
  py::dict merged = pyutil::copy_dict(short_lived);
  if (PyDict_Check(long_lived.ptr())) merged.attr("update")(long_lived);
  return merged;
}

py::object urls(py::handle self) { return py::handle(self).attr(pyutil::name<"graph">()); }

py::object iterate_signed(py::handle self, py::handle url, py::handle token, py::dict query,
                          py::handle convert) {
  py::object params = self.attr("_signed")(token, query);
  if (!convert) return self.attr("_iterate")(url, py::arg("params") = params);
  return self.attr("_iterate")(url, py::arg("params") = params, py::arg("convert") = convert);
}

void add_note(py::handle error, const std::string& note) {
  py::str text(note);
  if (py::hasattr(error, "add_note")) {
    error.attr("add_note")(text);
    return;
  }
  py::object notes = py::getattr(error, "__notes__", py::none());
  if (!PyList_Check(notes.ptr())) {
    notes = py::list();
    error.attr("__notes__") = notes;
  }
  notes.attr("append")(text);
}

py::object require_json(py::handle self, py::object answer) {
  // Only a dict can be the marked answer; anything else is JSON already.
  if (!PyDict_Check(answer.ptr())) return answer;
  return self.attr("_require_json")(answer);
}

bridge::Task<Tolerated> get_tolerating_refusal(py::object self, py::object url, py::object token,
                                               py::dict query) {
  Tolerated result;
  py::object answer;
  try {
    py::object answer_call = self.attr("_get")(url, token, **query);
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
