// The Graph API's error rules (see graph_errors.hpp).
#include "modules/graph_errors.hpp"

#include <initializer_list>
#include <optional>

#include "py/values.hpp"
#include "py/binder.hpp"

namespace corvane::graph {
namespace {

namespace py = pybind11;

bool code_in(py::handle code, std::initializer_list<long> codes) {
  const std::optional<long> c = pyutil::whole_number(code);
  for (long known : codes) {
    if (c == known) return true;
  }
  return false;
}

bool code_between(py::handle code, long low, long high) {
  const std::optional<long> c = pyutil::whole_number(code);
  return c && *c >= low && *c <= high;
}

// The first rule that holds decides; a code of an earlier rule wins over the status.
// 80000-80009 and 80014 are the business use case throttles (Pages, Instagram, Lead Ads,
// Messenger, ads, ...); 100 with subcode 33 is a node that does not exist (a deleted lead, a
// wrong id), which the Graph API answers with 400 rather than 404.
const char* kind_for(py::handle status, py::handle code, py::handle subcode) {
  if (code_in(code, {4, 17, 32, 613, 80014}) || code_between(code, 80000, 80009) ||
      code_in(status, {429})) {
    return "RateLimitError";
  }
  if (code_in(code, {190, 102}) || code_in(status, {401})) return "AuthError";
  if (code_in(code, {10}) || code_between(code, 200, 299) || code_in(status, {403})) {
    return "PermissionError";
  }
  if (code_in(code, {803}) || (code_in(code, {100}) && code_in(subcode, {33})) ||
      code_in(status, {404})) {
    return "NotFoundError";
  }
  return "ApiError";
}

py::object error_kind(py::object, binder::Args args) {
  return py::str(kind_for(args[0], args[1], args[2]));
}

const binder::Operation kErrorRules[] = {
    {"_error_kind",
     {{"status", &binder::kAnything}, {"code", &binder::kAnything},
      {"subcode", &binder::kAnything}},
     "The corvane.errors kind of a Graph API error answer: its throttle codes and "
     "RateLimitError first, then AuthError (190, 102), PermissionError (10, 200-299), "
     "NotFoundError (803, 100 with subcode 33), each also by its HTTP status (429, 401, 403, "
     "404); ApiError otherwise.",
     nullptr, error_kind, "str"},
};

}  // namespace

void add_error_rules(pyutil::ClassBuilder& cls) {
  binder::add_methods<kErrorRules>(cls, "Graph");
}

}  // namespace corvane::graph
