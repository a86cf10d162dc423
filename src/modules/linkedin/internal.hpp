// Shared declarations of corvane.linkedin's source files: the module state, the kinds and
// helpers the operations share, and the groups of operations each file adds to the class.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "bridge/runtime.hpp"
#include "modules/client_module.hpp"
#include "modules/linkedin/texts.hpp"
#include "py/binder.hpp"
#include "py/errors.hpp"
#include "py/names.hpp"
#include "py/pyclass.hpp"
#include "py/values.hpp"

namespace corvane::linkedin {

namespace py = pybind11;
using namespace clients::short_names;

// Objects of other modules, resolved once when the module is initialised.
struct ModuleState : clients::Shared {
  pyutil::Immortal endpoints;        // corvane.endpoints.LinkedIn (addresses read at each call)
  pyutil::Immortal default_version;  // corvane.endpoints.DEFAULT_LINKEDIN_VERSION at import
  pyutil::Immortal default_scopes;   // DEFAULT_SCOPES
  pyutil::Immortal url_type;         // yarl.URL, resolved at the first request
};
ModuleState& state();

// ---- arguments ----

// An author: a URN (starts with "urn:") as given, else the person URN of a member's bare sub.
extern const binder::Kind kAuthor;

// ---- LinkedIn's answers (errors.cpp) ----

// Raises ApiError "<operation>: <what> must be <wanted>, not <type>" with the answer as payload:
// a success whose body has the wrong shape reaches the host as a platform error, never as a
// bare TypeError or KeyError.
[[noreturn]] void bad_answer(const char* operation, const char* what, const char* wanted,
                             py::handle value, py::handle answer);

// `answer` itself when it is a dict, else bad_answer(operation, "LinkedIn's answer", "an
// object", ...): a finder always answers an object, so an empty body is a broken answer.
py::dict object_answer(py::handle answer, const char* operation);

using clients::require_json;  // the JSON check every client shares (client_module.hpp)

// self._parse_error(status, body) with `url` set to the masked text form of `url`.
py::object error_with_url(py::handle self, py::handle status, py::handle body, py::handle url);

using pyutil::add_note;

// ---- shared pieces of the operations ----

// "urn:li:person:" + sub.
py::str person_urn(py::handle sub);

// self._headers(token) or self._headers(token, extra): the client's own headers, an override
// of them included.
py::object headers(py::handle self, py::handle token, py::handle extra = {});

// GET rest(resource) as a finder call, marked {"X-RestLi-Method": "FINDER"} as LinkedIn's
// examples mark it; the pipeline encodes `query`.
py::object find(py::handle self, py::handle token, const char* resource, py::dict query);

// self.request(method, url, **options): one request through the pipeline.
py::object send(py::handle self, const char* method, py::handle url, py::dict options);

// The address of a REST resource ("posts", "organizationAcls").
py::object rest(py::handle path);

// ---- pages of a start/count finder (paging.cpp) ----

// What one page of a finder answer gives, and where the next page starts. The walk ends at an
// empty page, at the total LinkedIn announces, without a total at a page shorter than its
// count, and at a page LinkedIn answers again (a position before the one asked, or the same
// first element as the page before): a server repeating a page would otherwise keep a walk
// going forever.
class Paging {
 public:
  explicit Paging(long count) : count_(count) {}
  // The elements of `page` (an answer object) to hand out; sets done() and next_start().
  py::list take(py::handle page);
  bool done() const { return done_; }
  long next_start() const { return start_; }
  long count() const { return count_; }

 private:
  long count_;
  long start_ = 0;
  bool done_ = false;
  std::string first_id_;  // the text form of the previous page's first element's id
};

// yarl.URL(text, encoded=True): percent-escapes in the text (a URN in a path) reach the wire
// as written instead of being decoded back.
py::object wire_url(py::handle text);

// ---- the groups of operations, each added to the class by its own file ----
// Those with a table are binder::MethodGroups, for corvane.linkedin._OPERATIONS.
void add_setup_methods(pyutil::ClassBuilder& cls);          // module.cpp
void add_error_methods(pyutil::ClassBuilder& cls);          // errors.cpp (_parse_error)
py::tuple add_oauth_methods(pyutil::ClassBuilder& cls);     // oauth.cpp
extern const binder::MethodGroup add_post_methods;          // posts.cpp
py::tuple add_walk_methods(pyutil::ClassBuilder& cls);      // walk.cpp (iter_posts)
extern const binder::MethodGroup add_organization_methods;  // organizations.cpp

// One page of the author finder, a 403 turned into the PermissionError that names what
// reading needs (posts.cpp).
Task<py::object> posts_page(py::object self, py::str token, py::object author, py::object start,
                            py::object count);

// The POST of create_post, sent once outside the pipeline (publish.cpp).
Task<py::object> publish(py::object self, py::str token, py::object post);

}  // namespace corvane::linkedin
