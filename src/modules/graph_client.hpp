// What the Graph clients (Facebook, Instagram) share: signing a query with a token and its
// appsecret_proof, the request helpers _get/_post/_delete/_list, and argument checks.
//
// A client class gets the helpers with add_request_helpers(); they differ between the clients
// only in the rule for appsecret_proof and in whether _post also takes a JSON body. Each
// extension module links its own copy of this file; it calls no other module's C++ code,
// only Python (corvane.crypto.appsecret_proof, the client's own methods).
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "bridge/runtime.hpp"
#include "modules/client_module.hpp"
#include "py/binder.hpp"
#include "py/errors.hpp"
#include "py/pyclass.hpp"

namespace corvane::graph {

namespace py = pybind11;

// When a signed query carries appsecret_proof beside access_token.
enum class ProofRule {
  kAlways,      // every token is proven (the client refuses to exist without a secret)
  kWhenSecret,  // only when the client's app_secret is not empty
};

// What _post takes besides query values.
enum class PostBody {
  kQueryOnly,  // _post(url, token, **query)
  kJson,       // _post(url, token, json=None, **query): json is sent as the request body
};

// Resolves corvane.crypto.appsecret_proof once; call from the module's init.
void init();

// Adds _signed, _get, _post, _delete, _list and _sign_url to a client class, and the Graph API's
// _error_kind (graph_errors.hpp). The helpers read the client's `app_secret` attribute and go
// through `self.request` / `self.paginate`.
void add_request_helpers(pyutil::ClassBuilder& cls, ProofRule rule, PostBody post);

// The query of _signed: a copy of `params` (None for none) plus access_token and, as `rule`
// says, appsecret_proof for `token` (None or "" adds nothing). Both keys go after the
// caller's keys, replacing any caller value of the same name.
py::dict signed_query(py::handle self, py::handle token, py::handle params, ProofRule rule);

// ---- arguments ----

// A Graph object id or path word put into a URL: a non-empty str without "/", "?", "#",
// "&", white space or control characters (anything else would change which URL is asked).
py::str node_id(py::handle value, const char* function, const char* name);
extern const binder::Kind kNodeId;
// A Graph id, or None or "" for none (an account-level operation's ig_user_id, a lead's ad).
extern const binder::Kind kNodeIdOrNone;
// A list or tuple of Graph ids, each checked as node_id (None gives an empty list).
extern const binder::Kind kNodeIds;

// The texts of `items` joined with ",".
py::str join_commas(py::handle items);

// ---- the requests operations make ----

// GET, POST or DELETE `url` signed with `token`, the members of `query` as query parameters:
// an awaitable of the decoded body. The library's own _get/_post/_delete run in C++; a
// subclass (or instance) that overrides one of them gets its override called instead.
py::object get(py::handle self, py::handle url, py::handle token, py::dict query = py::dict());
// post's `json`, when given, is the request body (the JSON flavour of _post sends it).
py::object post(py::handle self, py::handle url, py::handle token, py::dict query = py::dict(),
                py::handle json = {});
py::object del(py::handle self, py::handle url, py::handle token, py::dict query = py::dict());
// post() with the one query value key=value.
bridge::Task<py::object> post_value(py::object self, py::object url, py::object token,
                                    const char* key, py::object value);
// The Graph API reads flags as the words true and false.
py::str flag(py::handle value);
// The items of a Graph list, at most `max_items` (500 when not given), through _list.
py::object list(py::handle self, py::handle url, py::handle token, py::dict query = py::dict(),
                py::handle max_items = {});

// The query signed as self._signed(token, query) signs it: in C++ unless _signed is replaced.
py::object sign(py::handle self, py::handle token, const py::dict& query);

// The client's URL builder (self.graph), for the endpoint of an operation.
py::object urls(py::handle self);
// self.graph.edge(id, name) and self.graph.node(id).
py::object edge(py::handle self, py::handle id, const char* name);
py::object node(py::handle self, py::handle id);

// The query {"fields": <the policy's field set `name`>}, read at each call: policies are renewed
// while the process runs.
py::dict fields(const char* name);

// The Graph API version of the client's URLs (self.graph.version), None while it has none.
py::object version_of(py::handle self);

// ---- lists that stream ----

// self._iterate(url, params=sign(self, token, query)): an async iterator over the items of a
// Graph list, one page held at a time, each passed through `convert` and each page through
// `each_page` when they are given. `token` is the caller's, already checked by its kind so that
// a wrong type names the public operation, not the signing helper.
py::object iterate_signed(py::handle self, py::handle url, py::handle token, py::dict query,
                          py::handle convert = {}, py::handle each_page = {});

// ---- answers ----

using clients::require_json;  // LinkedIn's too (client_module.hpp)

// Whether a write's answer reports success ({"success": true}); ApiError when it is not JSON.
py::bool_ succeeded(py::handle self, py::object answer);

using clients::answer_error;

// ---- tokens ----

// The TokenBundle of a code exchange: the long-lived answer's members win, and what only the
// short-lived one carried (user_id, permissions) survives.
py::object merged_tokens(const clients::Shared& shared, py::handle short_lived,
                         py::handle long_lived);

// ---- sub-requests whose refusal is tolerated ----

// The answer of self._get(url, token, **query), or, when the Graph API refuses (an ApiError:
// a missing permission, an object without statistics), an empty answer and the error. A
// throttle is no refusal: the answer comes later, and an empty one now would be kept for good.
template <class Error>
bool is_refusal(const Error& error) {
  return pyutil::is_kind(error, "ApiError") && !pyutil::is_kind(error, "RateLimitError");
}
struct Tolerated {
  py::object data;     // the answer; unset when refused
  py::object refusal;  // the ApiError; unset when answered
};
bridge::Task<Tolerated> get_tolerating_refusal(py::object self, py::object url, py::object token,
                                               py::dict query);

// ---- operations that are one request on a node: its id args[0], the token args[1] ----

// The node itself when `Edge` is "", else its edge `Edge`.
template <pyutil::Literal Edge>
py::object target(py::handle self, py::handle id) {
  if constexpr (Edge.text[0] == '\0') {
    return node(self, id);
  } else {
    return edge(self, id, Edge.text);
  }
}

// The query of the policy's field set `Set`, for the bodies below.
template <pyutil::Literal Set>
py::dict field_query() {
  return fields(Set.text);
}

// The items of the node's edge `Edge`, at most args[2] of them (through _list).
template <pyutil::Literal Edge, py::dict (*Query)()>
bridge::Task<py::object> edge_list(py::object self, binder::Args args) {
  co_return co_await list(self, edge(self, args[0], Edge.text), args[1], Query(), args[2]);
}

// The same items as an async iterator, one page held at a time.
template <pyutil::Literal Edge, py::dict (*Query)()>
py::object edge_walk(py::object self, binder::Args args) {
  return iterate_signed(self, edge(self, args[0], Edge.text), args[1], Query());
}

// POST to the target with the one query value Key=args[2], a flag as the Graph API reads one
// when `Flag`; the platform's answer.
template <pyutil::Literal Key, pyutil::Literal Edge = "", bool Flag = false>
bridge::Task<py::object> post_arg(py::object self, binder::Args args) {
  py::object value = args[2];
  if (Flag) value = flag(value);
  co_return co_await post_value(self, target<Edge>(self, args[0]), args[1], Key.text,
                                std::move(value));
}

// DELETE of the target: whether the answer reports success when `Checked`, else the answer.
template <pyutil::Literal Edge = "", bool Checked = true>
bridge::Task<py::object> delete_at(py::object self, binder::Args args) {
  py::object answer = co_await del(self, target<Edge>(self, args[0]), args[1]);
  if (Checked) co_return succeeded(self, std::move(answer));
  co_return answer;
}

}  // namespace corvane::graph
