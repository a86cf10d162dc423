// Cursor pagination over Graph lists: follow paging.next up to a maximum number of items.
//
// A link is requested as the platform wrote it, with the caller's access_token added only when
// it carries none; the Graph clients' _sign_url proves the token (the platform's links never
// carry the appsecret_proof, which "Require App Secret" makes every call need).
//
// The walk stops at max_items, at a page without a next link, at a page whose JSON is not an
// object (nothing is taken from it), and at a next link already fetched: a server that hands
// back an earlier cursor would otherwise keep the walk going forever. A page whose body is not
// JSON at all (a proxy's error page) raises ApiError: ending the walk there would hand back
// part of the list as if it were all of it.
#include <string>
#include <unordered_set>

#include "core/query.hpp"
#include "modules/http/internal.hpp"
#include "py/names.hpp"
#include "py/values.hpp"

namespace corvane::http {
namespace {

Task<py::object> paginate_task(py::object self, py::object url, py::object params,
                               Py_ssize_t max_items, py::object page_size) {
  bridge::Rooted<py::list> items;
  bridge::Rooted<py::dict> query = pyutil::copy_dict(params);
  if (!pyutil::dict_has(query, "limit")) {
    // min(page_size, max_items), as the caller's numbers compare.
    py::object cap = py::int_(max_items);
    query["limit"] = page_size < cap ? page_size : cap;
  }
  py::object first = self.attr(pyutil::name<"get">())(url, py::arg("params") = query);
  py::object first_page = co_await std::move(first);
  bridge::Rooted<> page = require_json(self, std::move(first_page));
  const bridge::Rooted<> token = walk_token(query);
  std::unordered_set<std::string> fetched;
  while (PyDict_Check(page.ptr())) {
    bridge::Rooted<> data = pyutil::member(page, "data");
    if (PyList_Check(data.ptr()) || PyTuple_Check(data.ptr())) {
      for (auto item : data) items.append(item);
    }
    if (PyList_GET_SIZE(items.ptr()) >= max_items) {
      co_return items[py::slice(0, max_items, 1)];
    }
    bridge::Rooted<> next = pyutil::member(pyutil::member(page, "paging"), "next");
    if (!pyutil::truthy(next) || !PyUnicode_Check(next.ptr())) break;
    if (!fetched.emplace(pyutil::utf8(next)).second) break;
    py::object following = self.attr(pyutil::name<"request">())(
        "GET", next, py::arg("params") = link_params(next, token));
    py::object next_page = co_await std::move(following);
    page = require_json(self, std::move(next_page));
  }
  co_return items;
}

py::object paginate_now(py::object self, binder::Args args) {
  Py_ssize_t cap = PyLong_AsSsize_t(args[2].ptr());
  if (cap == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (cap < 0) cap = 0;
  return bridge::as_coroutine(paginate_task(std::move(self), args[0], args[1], cap, args[3]),
                              "BaseClient.paginate");
}

const binder::Operation kPaginateOperations[] = {
    {"paginate",
     {{"url", &binder::kAnything}, option("params"), option("max_items", &binder::kCount, "500"),
      option("page_size", &binder::kCount, "100")},
     "Fetches a Graph list and follows its paging.next links, returning at most max_items "
     "items of the pages' data arrays, in order. Asks for page_size items per page unless "
     "params names a limit.",
     nullptr, paginate_now},
};

}  // namespace

py::object walk_token(py::handle query) {
  py::object token = pyutil::member(query, "access_token");
  return PyUnicode_Check(token.ptr()) && pyutil::truthy(token) ? token : py::none();
}

py::object link_params(py::handle link, py::handle token) {
  if (token.is_none() || core::query_value(pyutil::utf8(link), "access_token")) return py::none();
  py::dict params;
  params["access_token"] = token;
  return params;
}

const binder::MethodGroup add_paginate_method = binder::group<kPaginateOperations, "BaseClient">;

}  // namespace corvane::http
