// The company pages a member administers, from LinkedIn's organization access control:
// GET rest/organizationAcls?q=roleAssignee&role=ADMINISTRATOR&state=APPROVED, every page of it.
// A business posts as its page far more often than as a member; the URNs listed here are the
// authors create_post, posts and iter_posts take for that.
#include "modules/linkedin/internal.hpp"

namespace corvane::linkedin {
namespace {

// The finder's largest page: a member with more pages than this is rare, a second page rarer.
constexpr long kAclPageSize = 100;

Task<py::object> organizations_task(py::object self, binder::Args args) {
  bridge::Rooted<py::list> urns = py::list();
  bridge::Rooted<py::dict> seen = py::dict();  // the URNs already listed, in LinkedIn's order
  Paging paging(kAclPageSize);
  while (!paging.done()) {
    py::dict query;
    query["q"] = "roleAssignee";
    query["role"] = "ADMINISTRATOR";
    query["state"] = "APPROVED";
    query["start"] = py::int_(paging.next_start());
    query["count"] = py::int_(kAclPageSize);
    py::object answer = co_await find(self, args[0], "organizationAcls", std::move(query));
    py::dict page = object_answer(require_json(self, std::move(answer)), "organizations");
    for (py::handle acl : paging.take(page)) {
      py::object urn = pyutil::member(acl, "organization");
      if (!PyUnicode_Check(urn.ptr())) {
        bad_answer("organizations", texts::kOrganization, texts::kText, urn, page);
      }
      const int listed = PyDict_Contains(seen.ptr(), urn.ptr());
      if (listed < 0) throw py::error_already_set();
      if (listed == 1) continue;
      seen[urn] = py::none();
      urns.append(urn);
    }
  }
  co_return py::object(urns);
}

}  // namespace

const binder::Operation kOrganizationOperations[] = {
    {"organizations",
     {{"token", &binder::kText}},
     "The URNs ('urn:li:organization:<id>') of the company pages the member administers "
     "(an approved ADMINISTRATOR role), in LinkedIn's order, every page of LinkedIn's "
     "answer read. The token needs r_organization_social, w_organization_social or an "
     "organization admin scope; without one LinkedIn answers 403 (PermissionError).",
     organizations_task},
};
const binder::MethodGroup add_organization_methods =
    binder::group<kOrganizationOperations, "LinkedIn">;

}  // namespace corvane::linkedin
