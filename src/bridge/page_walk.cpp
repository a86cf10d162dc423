// The walk's object and its async-iterator protocol (see page_walk.hpp).
#include "bridge/page_walk.hpp"

#include <structmember.h>

#include <cstddef>
#include <string>
#include <utility>

#include "bridge/runtime.hpp"
#include "py/pyclass.hpp"

namespace corvane::bridge {
namespace {

struct PageWalk {
  PyObject_HEAD
  PageSource* source;     // where the pages come from (owned)
  PyObject* items;        // the current page's items (a list of our own), or null
  Py_ssize_t index;       // the next item of `items` to hand out
  const char* operation;  // the walk's name in its errors
  const char* qualname;   // its __anext__ coroutines' __qualname__
  bool looked;            // the source's look has finished with `items`
  bool busy;              // an __anext__ is fetching a page
  bool cleared;           // the collector cleared the walk: nothing left to fetch with
  PyObject* weakrefs;
};

PageWalk* as_walk(py::handle object) { return reinterpret_cast<PageWalk*>(object.ptr()); }

int walk_traverse(PyObject* self, visitproc visit, void* arg) {
  PageWalk* w = as_walk(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(w->items);
  for (py::object* held : w->source->held()) Py_VISIT(held->ptr());
  return 0;
}

int walk_clear(PyObject* self) {
  PageWalk* w = as_walk(self);
  w->cleared = true;
  Py_CLEAR(w->items);
  // The slot is empty before the reference goes, as with Py_CLEAR.
  for (py::object* held : w->source->held()) py::object gone = std::move(*held);
  return 0;
}

void walk_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  if (as_walk(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  walk_clear(self);
  delete as_walk(self)->source;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// Marks the walk as fetching while a frame runs, however the frame ends (error, cancellation,
// or the coroutine dropped half-way). Holds no reference: the frame's parameter keeps the walk.
struct Busy {
  PageWalk* walk;
  explicit Busy(PageWalk* w) : walk(w) { walk->busy = true; }
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

Task<py::object> next_item(py::object walk) {
  PageWalk* w = as_walk(walk);
  if (w->busy) {
    PyErr_SetString(PyExc_RuntimeError,
                    (std::string(w->operation) +
                     ": __anext__ awaited while the previous one is still fetching")
                        .c_str());
    throw py::error_already_set();
  }
  Busy busy(w);
  for (;;) {
    if (w->items != nullptr && !w->looked) {
      // The list stays the walk's: the look changes its items in place, if at all.
      py::object looking = w->source->look(w->items);
      if (looking && !looking.is_none()) co_await std::move(looking);
      w->looked = true;
    }
    if (w->items != nullptr && w->index < PyList_GET_SIZE(w->items)) {
      py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(w->items, w->index));
      ++w->index;
      co_return w->source->convert(std::move(item));
    }
    replace(w->items, py::object());  // used up: let it go before the next page arrives
    if (w->cleared) stop();
    std::optional<Task<py::object>> fetching = w->source->fetch();
    if (!fetching) stop();
    py::object answer = co_await std::move(*fetching);
    if (w->cleared) continue;  // cleared while the page was on its way
    replace(w->items, w->source->take(std::move(answer)));
    w->index = 0;
    w->looked = false;
  }
}

PyObject* walk_aiter(PyObject* self) { return Py_NewRef(self); }

PyObject* walk_anext(PyObject* self) {
  return pyutil::guarded([&] {
    return as_coroutine(next_item(py::reinterpret_borrow<py::object>(self)),
                        as_walk(self)->qualname);
  });
}

}  // namespace

PyTypeObject* make_page_walk_type(const char* name, const char* doc) {
  static PyMemberDef members[] = {
      {"__weaklistoffset__", T_PYSSIZET, offsetof(PageWalk, weakrefs), READONLY, nullptr},
      {nullptr, 0, 0, 0, nullptr},
  };
  PyType_Slot slots[] = {
      {Py_tp_members, members},
      {Py_tp_traverse, reinterpret_cast<void*>(walk_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(walk_clear)},
      {Py_tp_dealloc, reinterpret_cast<void*>(walk_dealloc)},
      {Py_am_aiter, reinterpret_cast<void*>(walk_aiter)},
      {Py_am_anext, reinterpret_cast<void*>(walk_anext)},
      {Py_tp_doc, const_cast<char*>(doc)},  // copied by the type
      {0, nullptr},
  };
  PyType_Spec shape = {name, sizeof(PageWalk), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
  PyObject* type = PyType_FromSpec(&shape);
  if (type == nullptr) throw py::error_already_set();
  return reinterpret_cast<PyTypeObject*>(type);
}

py::object new_page_walk(PyTypeObject* type, std::unique_ptr<PageSource> source,
                         const char* operation, const char* qualname) {
  PageWalk* w = PyObject_GC_New(PageWalk, type);
  if (w == nullptr) throw py::error_already_set();
  w->source = source.release();
  w->items = nullptr;
  w->index = 0;
  w->operation = operation;
  w->qualname = qualname;
  w->looked = false;
  w->busy = false;
  w->cleared = false;
  w->weakrefs = nullptr;
  py::object out = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(w));
  PyObject_GC_Track(out.ptr());
  return out;
}

Task<py::object> awaiting(py::object awaitable) { co_return co_await std::move(awaitable); }

}  // namespace corvane::bridge
