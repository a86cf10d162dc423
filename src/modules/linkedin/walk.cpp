// LinkedIn.iter_posts: the posts of an author as an async iterator, page by page through the
// author finder's start/count paging, fetching the next page only when the previous one is
// used up, so that a company page with years of posts is held one page at a time.
//
// Theory of operation: the walk keeps its client, token, author and the elements of the page
// being handed out; Paging (paging.cpp) says where the next page starts and when the walk
// ends. Every page goes through posts_page, so retries, error mapping, secret masking and the
// PermissionError that names what reading needs are those of LinkedIn.posts. __anext__ is a
// bridge coroutine whose frame keeps nothing but the walk across a suspension; a cancelled
// fetch leaves the walk as it was, and the next __anext__ asks for the same page again.
#include <Python.h>
#include <structmember.h>

#include <cstddef>
#include <new>
#include <string>

#include "modules/linkedin/internal.hpp"
#include "py/values.hpp"

namespace corvane::linkedin {
namespace {

// LinkedIn serves at most 100 posts per finder call.
constexpr long kMaxPageSize = 100;

struct PostWalk {
  PyObject_HEAD
  PyObject* client;  // the LinkedIn client whose request() fetches the pages
  PyObject* token;   // the member's token (never shown: the type has no repr of its own)
  PyObject* author;  // the author URN
  PyObject* items;   // the current page's elements (a list of our own), or null
  Py_ssize_t index;  // the next element of `items` to hand out
  Paging* paging;    // where the next page starts, and whether there is one
  bool busy;         // an __anext__ is fetching a page
  PyObject* weakrefs;
};

PyTypeObject* walk_type = nullptr;

PostWalk* as_walk(py::handle object) { return reinterpret_cast<PostWalk*>(object.ptr()); }

int walk_traverse(PyObject* self, visitproc visit, void* arg) {
  PostWalk* w = as_walk(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(w->client);
  Py_VISIT(w->token);
  Py_VISIT(w->author);
  Py_VISIT(w->items);
  return 0;
}

int walk_clear(PyObject* self) {
  PostWalk* w = as_walk(self);
  Py_CLEAR(w->client);
  Py_CLEAR(w->token);
  Py_CLEAR(w->author);
  Py_CLEAR(w->items);
  return 0;
}

void walk_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  if (as_walk(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  walk_clear(self);
  delete as_walk(self)->paging;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// Marks the walk as fetching while a frame runs, however the frame ends. Holds no reference:
// the frame's parameter keeps the walk.
struct Busy {
  PostWalk* walk;
  explicit Busy(PostWalk* w) : walk(w) { walk->busy = true; }
  ~Busy() { walk->busy = false; }
};

void replace(PyObject*& slot, py::object value) {
  PyObject* old = slot;
  slot = value ? value.release().ptr() : nullptr;
  Py_XDECREF(old);
}

Task<py::object> next_post(py::object walk) {
  PostWalk* w = as_walk(walk);
  if (w->busy) {
    PyErr_SetString(PyExc_RuntimeError,
                    "iter_posts: __anext__ awaited while the previous one is still fetching");
    throw py::error_already_set();
  }
  Busy busy(w);
  for (;;) {
    if (w->items != nullptr && w->index < PyList_GET_SIZE(w->items)) {
      co_return py::reinterpret_borrow<py::object>(PyList_GET_ITEM(w->items, w->index++));
    }
    replace(w->items, py::object());  // used up: let it go before the next page arrives
    // A walk cleared by the collector (a cycle through it) has nothing left to fetch with.
    if (w->paging->done() || w->client == nullptr) {
      PyErr_SetNone(PyExc_StopAsyncIteration);
      throw py::error_already_set();
    }
    py::dict query;
    query["q"] = "author";
    query["author"] = py::handle(w->author);
    query["start"] = py::int_(w->paging->next_start());
    query["count"] = py::int_(w->paging->count());
    Task<py::object> fetching =
        posts_page(py::reinterpret_borrow<py::object>(w->client),
                   py::reinterpret_borrow<py::str>(w->token), std::move(query));
    py::object answer = co_await std::move(fetching);
    if (w->client == nullptr) continue;  // cleared while the page was on its way
    py::dict page = object_answer(require_json(w->client, std::move(answer)), "iter_posts");
    py::list items = w->paging->take(page);
    replace(w->items, std::move(items));
    w->index = 0;
  }
}

PyObject* walk_aiter(PyObject* self) { return Py_NewRef(self); }

PyObject* walk_anext(PyObject* self) {
  return pyutil::guarded([&] {
    return bridge::as_coroutine(next_post(py::reinterpret_borrow<py::object>(self)),
                                "LinkedIn.iter_posts.__anext__");
  });
}

void make_type() {
  static PyMemberDef members[] = {
      {"__weaklistoffset__", T_PYSSIZET, offsetof(PostWalk, weakrefs), READONLY, nullptr},
      {nullptr, 0, 0, 0, nullptr},
  };
  static PyType_Slot slots[] = {
      {Py_tp_members, members},
      {Py_tp_traverse, reinterpret_cast<void*>(walk_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(walk_clear)},
      {Py_tp_dealloc, reinterpret_cast<void*>(walk_dealloc)},
      {Py_am_aiter, reinterpret_cast<void*>(walk_aiter)},
      {Py_am_anext, reinterpret_cast<void*>(walk_anext)},
      {Py_tp_doc, const_cast<char*>("The posts of a LinkedIn author, page by page (iter_posts).")},
      {0, nullptr},
  };
  static PyType_Spec shape = {"corvane.linkedin._PostWalk", sizeof(PostWalk), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
  PyObject* type = PyType_FromSpec(&shape);
  if (type == nullptr) throw py::error_already_set();
  walk_type = reinterpret_cast<PyTypeObject*>(type);  // kept for the life of the process
}

py::object new_walk(py::handle client, py::str token, py::str author, long page_size) {
  PostWalk* w = PyObject_GC_New(PostWalk, walk_type);
  if (w == nullptr) throw py::error_already_set();
  w->client = Py_NewRef(client.ptr());
  w->token = token.release().ptr();
  w->author = author.release().ptr();
  w->items = nullptr;
  w->index = 0;
  w->busy = false;
  w->weakrefs = nullptr;
  w->paging = new (std::nothrow) Paging(page_size);
  py::object out = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(w));
  if (w->paging == nullptr) throw std::bad_alloc();
  PyObject_GC_Track(out.ptr());
  return out;
}

// A page size LinkedIn serves: from 1 to 100 posts per finder call.
py::object page_size_of(py::handle value, const char* operation, const char* parameter) {
  py::object size = binder::count(value, operation, parameter);
  int overflow = 0;
  const long n = PyLong_AsLongAndOverflow(size.ptr(), &overflow);
  if (overflow != 0 || n < 1 || n > kMaxPageSize) {
    binder::wrong_value(value, operation, parameter, "from 1 to 100");
  }
  return size;
}

const binder::Kind kPageSize{"int", page_size_of};

py::object iter_posts_now(py::object self, binder::Args args) {
  return new_walk(self, py::str(args[0]), py::str(args[1]), args[2].cast<long>());
}

const binder::Operation kWalkOperations[] = {
    {"iter_posts",
     {{"token", &binder::kText}, {"author", &kAuthor}, {"page_size", &kPageSize, "50", true}},
     "An async iterator over the posts of author (a URN, or a member's bare sub), newest "
     "first, page_size (1 to 100) per request. The next page is asked for only when the "
     "previous one is used up; the walk ends at an empty or short page, at LinkedIn's "
     "total, and at a page LinkedIn answers again. Errors are those of posts().",
     nullptr, iter_posts_now},
};

}  // namespace

py::tuple add_walk_methods(pyutil::ClassBuilder& cls) {
  if (walk_type == nullptr) make_type();
  binder::add_methods<kWalkOperations>(cls, "LinkedIn");
  return binder::describe<kWalkOperations>();
}

}  // namespace corvane::linkedin
