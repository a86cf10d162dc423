// Lists that stream: BaseClient.iterate walks a Graph list page by page and hands out one item
// at a time, fetching the next page only when the previous one is used up, so that a backfill
// of 50,000 leads holds one page of them, not all of them.
//
// The walk follows the stop rules of paginate: it ends at a page whose JSON is not an object
// (nothing is taken from it), at a page without a next link, and at a next link already
// fetched; a page whose body is not JSON at all raises ApiError. Every page goes through
// request(), so credentials, retries, error mapping and secret masking are the pipeline's.
//
// A client may give each page a look before its items are handed out (_iterate's each_page):
// the Instagram inbox fetches its customers' profiles for a page at once, in parallel. A page
// whose look was cancelled gets it again on the next __anext__, before any of its items.
//
// __anext__ is a bridge coroutine. Its frame keeps nothing but the walk across a suspension:
// the page being fetched is the only thing in flight, and what the walk keeps it reports to
// the collector itself. A cancelled fetch leaves the walk as it was: the next __anext__ asks
// for the same page again.
#include <Python.h>
#include <structmember.h>

#include <cstddef>
#include <string>
#include <unordered_set>

#include "modules/http/internal.hpp"
#include "py/names.hpp"
#include "py/values.hpp"

namespace corvane::http {
namespace {

struct Walk {
  PyObject_HEAD
  PyObject* client;   // the BaseClient whose request() fetches the pages
  PyObject* url;      // the first page's URL, until it is fetched
  PyObject* query;    // the first page's query
  PyObject* convert;  // called on each item (a record's from_response), or null
  PyObject* each_page;  // called with each page's item list, its awaitable awaited, or null
  PyObject* items;    // the current page's items (a list of our own), or null
  Py_ssize_t index;   // the next item of `items` to hand out
  PyObject* next;     // the link of the page after `items`, or null at the end
  PyObject* token;    // the caller's access_token, for links that carry none (or None)
  bool started;       // the first page was fetched
  bool looked;        // each_page has finished with `items`
  bool busy;          // an __anext__ is fetching a page
  std::unordered_set<std::string>* fetched;  // links already followed
  PyObject* weakrefs;
};

PyTypeObject* walk_type = nullptr;

Walk* as_walk(py::handle object) { return reinterpret_cast<Walk*>(object.ptr()); }

int walk_traverse(PyObject* self, visitproc visit, void* arg) {
  Walk* w = as_walk(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(w->client);
  Py_VISIT(w->url);
  Py_VISIT(w->query);
  Py_VISIT(w->convert);
  Py_VISIT(w->each_page);
  Py_VISIT(w->items);
  Py_VISIT(w->next);
  Py_VISIT(w->token);
  return 0;
}

int walk_clear(PyObject* self) {
  Walk* w = as_walk(self);
  Py_CLEAR(w->client);
  Py_CLEAR(w->url);
  Py_CLEAR(w->query);
  Py_CLEAR(w->convert);
  Py_CLEAR(w->each_page);
  Py_CLEAR(w->items);
  Py_CLEAR(w->next);
  Py_CLEAR(w->token);
  return 0;
}

void walk_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  if (as_walk(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  walk_clear(self);
  delete as_walk(self)->fetched;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// Marks the walk as fetching while a frame runs, however the frame ends (error, cancellation,
// or the coroutine dropped half-way). Holds no reference: the frame's parameter keeps the walk.
struct Busy {
  Walk* walk;
  explicit Busy(Walk* w) : walk(w) { walk->busy = true; }
  ~Busy() { walk->busy = false; }
};

[[noreturn]] void stop() {
  PyErr_SetNone(PyExc_StopAsyncIteration);
  throw py::error_already_set();
}

void replace(PyObject*& slot, py::object value) {
  PyObject* old = slot;
  slot = value ? value.release().ptr() : nullptr;
  Py_XDECREF(old);
}

// Takes a fetched page: its items, and the link to follow after them (none at the end).
void take_page(Walk* w, py::handle client, const py::object& answer) {
  py::object page = require_json(client, answer);
  replace(w->next, py::object());
  if (!PyDict_Check(page.ptr())) return;  // not an object: nothing in it, and the end
  py::object data = pyutil::member(page, "data");
  if (PyList_Check(data.ptr()) || PyTuple_Check(data.ptr())) {
    // A list of our own: what the page holds cannot change under the walk.
    py::object items = py::reinterpret_steal<py::object>(PySequence_List(data.ptr()));
    if (!items) throw py::error_already_set();
    replace(w->items, std::move(items));
    w->index = 0;
    w->looked = false;
  }
  py::object next = pyutil::member(pyutil::member(page, "paging"), "next");
  if (!pyutil::truthy(next) || !PyUnicode_Check(next.ptr())) return;
  // A server handing back a link already followed would keep the walk going forever.
  if (!w->fetched->emplace(pyutil::utf8(next)).second) return;
  replace(w->next, std::move(next));
}

Task<py::object> next_item(py::object walk) {
  Walk* w = as_walk(walk);
  if (w->busy) {
    PyErr_SetString(PyExc_RuntimeError,
                    "iterate: __anext__ awaited while the previous one is still fetching");
    throw py::error_already_set();
  }
  Busy busy(w);
  for (;;) {
    if (w->items != nullptr && !w->looked && w->each_page != nullptr) {
      // The list stays the walk's: the look changes its items in place, if at all.
      py::object looking = py::handle(w->each_page)(py::handle(w->items));
      if (!looking.is_none()) co_await std::move(looking);
      w->looked = true;
    }
    if (w->items != nullptr && w->index < PyList_GET_SIZE(w->items)) {
      py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(w->items, w->index));
      ++w->index;
      if (w->convert == nullptr) co_return item;
      co_return py::handle(w->convert)(item);
    }
    replace(w->items, py::object());  // used up: let it go before the next page arrives
    py::object fetching;
    if (!w->started) {
      fetching = py::handle(w->client).attr(pyutil::name<"get">())(
          py::handle(w->url), py::arg("params") = py::handle(w->query));
    } else if (w->next != nullptr) {
      fetching = py::handle(w->client).attr(pyutil::name<"request">())(
          pyutil::name<"GET">(), py::handle(w->next),
          py::arg("params") = link_params(w->next, w->token ? w->token : Py_None));
    } else {
      stop();
    }
    py::object answer = co_await std::move(fetching);
    if (!w->started) {
      w->started = true;
      replace(w->url, py::object());
      replace(w->query, py::object());
    }
    take_page(w, py::handle(w->client), answer);
  }
}

PyObject* walk_aiter(PyObject* self) { return Py_NewRef(self); }

PyObject* walk_anext(PyObject* self) {
  return pyutil::guarded([&] {
    return bridge::as_coroutine(next_item(py::reinterpret_borrow<py::object>(self)),
                                "BaseClient.iterate.__anext__");
  });
}

py::object new_walk(py::handle client, py::handle url, py::dict query, py::handle convert,
                    py::handle each_page) {
  Walk* w = PyObject_GC_New(Walk, walk_type);
  if (w == nullptr) throw py::error_already_set();
  w->client = Py_NewRef(client.ptr());
  w->url = Py_NewRef(url.ptr());
  w->token = walk_token(query).release().ptr();
  w->query = query.release().ptr();
  w->convert = convert.is_none() ? nullptr : Py_NewRef(convert.ptr());
  w->each_page = each_page.is_none() ? nullptr : Py_NewRef(each_page.ptr());
  w->items = nullptr;
  w->index = 0;
  w->next = nullptr;
  w->started = false;
  w->looked = false;
  w->busy = false;
  w->weakrefs = nullptr;
  w->fetched = new (std::nothrow) std::unordered_set<std::string>();
  py::object out = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(w));
  if (w->fetched == nullptr) throw std::bad_alloc();
  PyObject_GC_Track(out.ptr());
  return out;
}

// iterate(url, params=None, page_size=100) and its private twin
// _iterate(..., convert, each_page).
PyObject* iterate_common(PyObject* args, PyObject* kwargs, bool with_convert) {
  return pyutil::guarded([&] {
    static const char* keywords[] = {"self",    "url",       "params", "page_size",
                                     "convert", "each_page", nullptr};
    static const char* public_keywords[] = {"self", "url", "params", "page_size", nullptr};
    PyObject *self = nullptr, *url = nullptr, *params = Py_None, *page_size = nullptr;
    PyObject *convert = Py_None, *each_page = Py_None;
    if (with_convert) {
      pyutil::parse_args(args, kwargs, "OO|$OOOO:_iterate", keywords, &self, &url, &params,
                         &page_size, &convert, &each_page);
    } else {
      pyutil::parse_args(args, kwargs, "OO|$OO:iterate", public_keywords, &self, &url, &params,
                         &page_size);
    }
    const char* op = with_convert ? "_iterate" : "iterate";
    binder::text(url, op, "url");
    if (page_size != nullptr) binder::count(page_size, op, "page_size");
    py::dict query = pyutil::copy_dict(params);
    const int has_limit = PyDict_Contains(query.ptr(), pyutil::name<"limit">().ptr());
    if (has_limit < 0) throw py::error_already_set();  // a key's __eq__ raised
    if (has_limit == 0) {
      query[pyutil::name<"limit">()] =
          page_size ? py::reinterpret_borrow<py::object>(page_size) : py::int_(100);
    }
    return new_walk(self, url, std::move(query), convert, each_page);
  });
}

PyObject* iterate_method(PyObject*, PyObject* a, PyObject* k) {
  return iterate_common(a, k, false);
}
PyObject* private_iterate_method(PyObject*, PyObject* a, PyObject* k) {
  return iterate_common(a, k, true);
}

PyMethodDef iterate_defs[] = {
    pyutil::method_def(
        "iterate", iterate_method,
        "iterate(self, url, *, params=None, page_size=100)\n--\n\n"
        "An async iterator over the items of a Graph list: the data arrays of its pages, in "
        "order, following paging.next. The next page is fetched only when the previous one "
        "is used up, so only one page is held at a time. Asks for page_size items per page "
        "unless params names a limit."),
    pyutil::method_def("_iterate", private_iterate_method,
                       "_iterate(self, url, *, params=None, page_size=100, convert=None, "
                       "each_page=None)\n--\n\n"
                       "iterate(), each item passed through convert (for the clients' records); "
                       "each_page(items), when given, sees each page's item list first (an "
                       "awaitable it returns is awaited)."),
};

}  // namespace

void add_iterate_methods(pyutil::ClassBuilder& client) {
  if (walk_type == nullptr) {
    static PyMemberDef members[] = {
        {"__weaklistoffset__", T_PYSSIZET, offsetof(Walk, weakrefs), READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_members, members},
        {Py_tp_traverse, reinterpret_cast<void*>(walk_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(walk_clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(walk_dealloc)},
        {Py_am_aiter, reinterpret_cast<void*>(walk_aiter)},
        {Py_am_anext, reinterpret_cast<void*>(walk_anext)},
        {Py_tp_doc, const_cast<char*>("The items of a Graph list, page by page (iterate).")},
        {0, nullptr},
    };
    static PyType_Spec walk_shape = {"corvane.http._Walk", sizeof(Walk), 0,
                                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    PyObject* type = PyType_FromSpec(&walk_shape);
    if (type == nullptr) throw py::error_already_set();
    walk_type = reinterpret_cast<PyTypeObject*>(type);  // kept for the life of the process
  }
  for (auto& def : iterate_defs) client.method(&def);
}

}  // namespace corvane::http
