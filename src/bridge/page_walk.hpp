// Lists that stream: an async iterator that hands out a list's items one at a time, fetching
// the next page only when the previous one is used up, so that a walk over years of posts or
// 50,000 leads holds one page, not all of them. BaseClient.iterate (Graph cursors and next
// links) and LinkedIn.iter_posts (start/count finders) are such walks; what differs between
// them, where the next page is and what a page gives, is their PageSource.
//
// __anext__ is a bridge coroutine. Its frame keeps nothing but the walk across a suspension:
// the page being fetched is the only thing in flight, and what the walk keeps it reports to
// the collector itself. A cancelled fetch leaves the walk as it was, so the next __anext__ asks
// for the same page again; a page whose look was cancelled gets it again, before any of its
// items. A walk the collector cleared (a cycle through it) ends.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <span>

#include <pybind11/pybind11.h>

#include "bridge/task.hpp"

namespace corvane::bridge {

namespace py = pybind11;

class PageSource {
 public:
  PageSource() = default;
  PageSource(const PageSource&) = delete;
  PageSource& operator=(const PageSource&) = delete;
  virtual ~PageSource() = default;

  // The Python objects the source keeps (empty ones included), for the collector to visit
  // and to clear.
  virtual std::span<py::object* const> held() = 0;
  // The fetch of the next page, or nullopt at the end of the walk. Changes nothing: a fetch
  // that is cancelled is asked for again.
  virtual std::optional<Task<py::object>> fetch() = 0;
  // Takes a fetched answer: the page's items (a list of the walk's own), or null for a page
  // without any.
  virtual py::object take(py::object answer) = 0;
  // Given each page's items before they are handed out: an awaitable it returns is awaited.
  // Null or None: nothing to wait for.
  virtual py::object look(py::handle) { return {}; }
  // What the walk hands out for one item.
  virtual py::object convert(py::object item) { return item; }
};

// The type of a module's walks: `name` ("corvane.http._Walk") must be a literal, the type
// keeps it. Kept for the life of the process.
PyTypeObject* make_page_walk_type(const char* name, const char* doc);

// A walk of `type` over the pages of `source`. `operation` names the walk in its errors
// ("iterate"), `qualname` its __anext__ coroutines ("BaseClient.iterate.__anext__"); both
// literals.
py::object new_page_walk(PyTypeObject* type, std::unique_ptr<PageSource> source,
                         const char* operation, const char* qualname);

// A Task that awaits a Python awaitable (a source whose fetch is a call of a Python method).
Task<py::object> awaiting(py::object awaitable);

}  // namespace corvane::bridge
