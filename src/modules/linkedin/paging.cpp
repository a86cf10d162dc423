// The paging of LinkedIn's start/count finders: which elements of an answer to hand out and
// where the next page starts. LinkedIn answers
//   {"elements": [...], "paging": {"start": 0, "count": 10, "total": 42, "links": [...]}}
// where "total" is often missing and "count" may be lower than the count asked (LinkedIn caps
// it per finder), so the page's own count, not the caller's, tells a short page.
#include "modules/linkedin/internal.hpp"

namespace corvane::linkedin {
namespace {

// A member that is a Python int (not a bool) as a long, else `fallback`.
long whole(py::handle object, const char* name, long fallback) {
  return pyutil::whole_number(pyutil::member(object, name)).value_or(fallback);
}

// The text form of the first element's "id" ("" when there is none to compare).
std::string first_id(const py::list& elements) {
  if (PyList_GET_SIZE(elements.ptr()) == 0) return {};
  py::object id = pyutil::member(PyList_GET_ITEM(elements.ptr(), 0), "id");
  if (id.is_none()) return {};
  return std::string(pyutil::utf8(py::str(id)));
}

}  // namespace

py::list Paging::take(py::handle page) {
  // A list of our own: what the page holds cannot change under the walk.
  py::list out = clients::items_of(pyutil::member(page, "elements"));
  py::object paging = pyutil::member(page, "paging");
  const long asked = start_;
  const long position = whole(paging, "start", asked);
  const long n = static_cast<long>(PyList_GET_SIZE(out.ptr()));
  std::string id = first_id(out);
  if (position < asked || (!id.empty() && id == first_id_)) {
    done_ = true;  // a page already handed out, answered again
    return py::list();
  }
  first_id_ = std::move(id);
  start_ = position + n;
  const long total = whole(paging, "total", -1);
  const long count = whole(paging, "count", count_);
  if (n == 0 || (total >= 0 && start_ >= total) || (total < 0 && n < (count > 0 ? count : count_))) {
    done_ = true;
  }
  return out;
}

}  // namespace corvane::linkedin
