// Lists that stream: BaseClient.iterate walks a Graph list page by page and hands out one item
// at a time (bridge/page_walk.hpp); this file says where a Graph list's pages are.
//
// The walk follows the stop rules of paginate: it ends at a page whose JSON is not an object
// (nothing is taken from it), at a page without a next link, and at a next link already
// fetched; a page whose body is not JSON at all raises ApiError. Every page goes through
// request(), so credentials, retries, error mapping and secret masking are the pipeline's.
//
// A client may give each page a look before its items are handed out (_iterate's each_page):
// the Instagram inbox fetches its customers' profiles for a page at once, in parallel.
#include <Python.h>

#include <memory>
#include <string>
#include <unordered_set>

#include "bridge/page_walk.hpp"
#include "modules/http/internal.hpp"
#include "py/names.hpp"
#include "py/owned.hpp"
#include "py/values.hpp"

namespace corvane::http {
namespace {

// A Graph list's pages: the first page's URL and query, then each page's paging.next.
class GraphPages final : public bridge::PageSource {
 public:
  GraphPages(py::handle client, py::handle url, py::dict query, py::handle convert,
             py::handle each_page)
      : client_(py::reinterpret_borrow<py::object>(client)),
        url_(py::reinterpret_borrow<py::object>(url)),
        token_(walk_token(query)),
        query_(std::move(query)) {
    if (!convert.is_none()) convert_ = py::reinterpret_borrow<py::object>(convert);
    if (!each_page.is_none()) each_page_ = py::reinterpret_borrow<py::object>(each_page);
  }

  std::span<py::object* const> held() override { return held_; }

  std::optional<bridge::Task<py::object>> fetch() override {
    py::object fetching;
    if (!started_) {
      fetching = client_.attr(pyutil::name<"get">())(url_, py::arg("params") = query_);
    } else if (next_) {
      fetching = client_.attr(pyutil::name<"request">())(
          pyutil::name<"GET">(), next_,
          py::arg("params") = link_params(next_, token_ ? token_ : py::none()));
    } else {
      return std::nullopt;
    }
    return bridge::awaiting(std::move(fetching));
  }

  // The page's items, and the link to follow after them (none at the end).
  py::object take(py::object answer) override {
    if (!started_) {
      started_ = true;
      url_ = py::object();
      query_ = py::object();
    }
    py::object page = require_json(client_, std::move(answer));
    next_ = py::object();
    if (!PyDict_Check(page.ptr())) return {};  // not an object: nothing in it, and the end
    py::object items;
    py::object data = pyutil::member(page, "data");
    if (PyList_Check(data.ptr()) || PyTuple_Check(data.ptr())) {
      // A list of our own: what the page holds cannot change under the walk.
      items = pyutil::owned(PySequence_List(data.ptr()));
    }
    py::object next = pyutil::member(pyutil::member(page, "paging"), "next");
    if (!pyutil::truthy(next) || !PyUnicode_Check(next.ptr())) return items;
    // A server handing back a link already followed would keep the walk going forever.
    if (!fetched_.emplace(pyutil::utf8(next)).second) return items;
    next_ = std::move(next);
    return items;
  }

  py::object look(py::handle items) override {
    return each_page_ ? each_page_(items) : py::object();
  }

  py::object convert(py::object item) override {
    return convert_ ? convert_(item) : std::move(item);
  }

 private:
  py::object client_;     // the BaseClient whose request() fetches the pages
  py::object url_;        // the first page's URL, until it is fetched
  py::object token_;      // the caller's access_token, for links that carry none (or None)
  py::object query_;      // the first page's query, until it is fetched (after token_: the
                          // token is read from it before it is moved in)
  py::object convert_;    // called on each item (a record's from_response), or null
  py::object each_page_;  // called with each page's item list, or null
  py::object next_;       // the link of the next page, or null at the end
  py::object* const held_[7] = {&client_, &url_,       &token_, &query_,
                                &convert_, &each_page_, &next_};
  bool started_ = false;  // the first page was fetched
  std::unordered_set<std::string> fetched_;  // links already followed
};

py::object new_walk(py::handle client, py::handle url, py::dict query, py::handle convert,
                    py::handle each_page) {
  // The type is made with the first walk (a PyType_Spec type, kept for the process).
  static PyTypeObject* const walk_type = bridge::make_page_walk_type(
      "corvane.http._Walk", "The items of a Graph list, page by page (iterate).");
  return bridge::new_page_walk(
      walk_type, std::make_unique<GraphPages>(client, url, std::move(query), convert, each_page),
      "iterate", "BaseClient.iterate.__anext__");
}

// A walk asking for page_size items per page unless params names a limit; `Hooks`: _iterate's,
// which also takes convert and each_page.
template <bool Hooks>
py::object iterate_now(py::object self, binder::Args args) {
  py::dict query = pyutil::copy_dict(args[1]);
  if (!pyutil::dict_has(query, "limit")) query[pyutil::name<"limit">()] = args[2];
  return new_walk(self, args[0], std::move(query), Hooks ? args[3] : py::object(py::none()),
                  Hooks ? args[4] : py::object(py::none()));
}

const binder::Param kPageSize = option("page_size", &binder::kCount, "100");

const binder::Operation kIterateOperations[] = {
    {"iterate", {{"url", &binder::kText}, option("params"), kPageSize},
     "An async iterator over the items of a Graph list: the data arrays of its pages, in "
     "order, following paging.next. The next page is fetched only when the previous one is "
     "used up, so only one page is held at a time. Asks for page_size items per page unless "
     "params names a limit.",
     nullptr, iterate_now<false>},
    {"_iterate",
     {{"url", &binder::kText}, option("params"), kPageSize, option("convert"),
      option("each_page")},
     "iterate(), each item passed through convert (for the clients' records); each_page(items), "
     "when given, sees each page's item list first (an awaitable it returns is awaited).",
     nullptr, iterate_now<true>},
};

}  // namespace

const binder::MethodGroup add_iterate_methods = binder::group<kIterateOperations, "BaseClient">;

}  // namespace corvane::http
