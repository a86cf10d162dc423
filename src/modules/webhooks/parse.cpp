// parse_events: the lazy iterator that splits a delivery into WebhookEvent records.
//
// Theory of operation: the iterator keeps where it stands (its place in the entries, the entry,
// which of its three lists it walks and its place in that list) and builds one event per
// __next__, so the payload is read only as far as the consumer has got. A payload, entry,
// change or messaging/standby item that is not a dict, or an "entry", "changes", "messaging"
// or "standby" member that is truthy but not a list, raises TypeError when it is reached; like
// a generator, the iterator is finished after an error and refuses to be re-entered.
#include "modules/webhooks/event.hpp"
#include "modules/webhooks/texts.hpp"
#include "py/fast_lookup.hpp"
#include "py/values.hpp"

namespace corvane::webhooks {

namespace {

using pyutil::dict_item;
using pyutil::truthy;

enum class Stage { kStart, kChanges, kMessaging, kStandby, kDone };

// A walk over one of the payload's lists (JSON arrays: a list, or a tuple a host built), by
// index. The size is read again at each step and each item is held from the moment it is
// taken: the consumer's code runs between steps and may change the list.
class Cursor {
 public:
  Cursor() = default;
  explicit Cursor(py::object items) : items_(std::move(items)) {}

  // The next item, or an empty object at the end.
  py::object next() {
    if (!items_ || position_ >= PySequence_Fast_GET_SIZE(items_.ptr())) return {};
    return py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(items_.ptr(), position_++));
  }

  bool active() const { return static_cast<bool>(items_); }
  void clear() {
    py::object items = std::move(items_);  // emptied before the reference goes
    position_ = 0;
  }
  int visit(visitproc visit, void* arg) const {
    Py_VISIT(items_.ptr());
    return 0;
  }

 private:
  py::object items_;
  Py_ssize_t position_ = 0;
};

struct State {
  Stage stage = Stage::kStart;
  bool running = false;    // inside __next__: the consumer's code may call it again
  py::object payload;      // until the first event is asked for
  py::object object_type;
  Cursor entries;          // over payload["entry"]
  py::object entry;        // the entry being walked
  py::object entry_id;
  py::object entry_time;
  Cursor items;            // over the entry's list of this stage
};

struct IteratorObject {
  PyObject_HEAD
  State state;  // constructed in place after the allocation
};

PyTypeObject* g_iterator_type = nullptr;

State& state_of(PyObject* self) { return reinterpret_cast<IteratorObject*>(self)->state; }

[[noreturn]] void not_a_dict(const char* what, py::handle found) {
  PyErr_Format(PyExc_TypeError, texts::kNotADict, what, Py_TYPE(found.ptr())->tp_name);
  throw py::error_already_set();
}

// A cursor over container[name]. An absent or falsy member has no items; a truthy one that
// is not a list is a TypeError naming it (a str or a dict would otherwise be walked letter
// by letter or key by key).
Cursor list_cursor(py::handle container, py::handle name) {
  py::object list = dict_item(container, name);
  if (list && (PyList_Check(list.ptr()) || PyTuple_Check(list.ptr()))) return Cursor(std::move(list));
  if (!truthy(list)) return Cursor();
  PyErr_Format(PyExc_TypeError, texts::kNotAList, name.ptr(), Py_TYPE(list.ptr())->tp_name);
  throw py::error_already_set();
}

void start(State& self) {
  py::object payload = std::move(self.payload);
  if (!PyDict_Check(payload.ptr())) not_a_dict(texts::kPayload, payload);
  self.object_type = text_or(dict_item(payload, names().object), names().unknown);
  self.entries = list_cursor(payload, names().entry);
}

// Moves to the next entry; false when there is none.
bool next_entry(State& self) {
  py::object entry = self.entries.next();
  if (!entry) return false;
  if (!PyDict_Check(entry.ptr())) not_a_dict(texts::kEntry, entry);
  self.entry_id = text_or(dict_item(entry, names().id), Py_None);
  py::object time = dict_item(entry, names().time);
  self.entry_time = time ? time : py::object(py::none());
  self.items = list_cursor(entry, names().changes);
  self.entry = std::move(entry);
  self.stage = Stage::kChanges;
  return true;
}

py::object make_event(State& self, py::object item) {
  const Names& n = names();
  py::object field;
  py::object value;
  if (self.stage == Stage::kChanges) {
    if (!PyDict_Check(item.ptr())) not_a_dict(texts::kChange, item);
    field = text_or(dict_item(item, n.field), n.unknown);
    py::object found_value = dict_item(item, n.value);
    value = truthy(found_value) ? std::move(found_value) : py::object(py::dict());
  } else {
    const bool messaging = self.stage == Stage::kMessaging;
    if (!PyDict_Check(item.ptr())) {
      not_a_dict(messaging ? texts::kMessagingItem : texts::kStandbyItem, item);
    }
    field = py::reinterpret_borrow<py::object>(messaging ? n.messages : n.messages_standby);
    value = std::move(item);
  }
  return Event::make({self.object_type, std::move(field), self.entry_id, self.entry_time,
                      std::move(value)});
}

py::object advance(State& self) {
  if (self.stage == Stage::kStart) {
    start(self);
    self.stage = Stage::kStandby;  // as if an entry had just ended
  }
  for (;;) {
    if (self.items.active()) {
      py::object item = self.items.next();
      if (item) return make_event(self, std::move(item));
      self.items.clear();
    }
    // Within an entry: all changes, then all messaging items, then all standby items.
    if (self.stage == Stage::kChanges) {
      self.stage = Stage::kMessaging;
      self.items = list_cursor(self.entry, names().messaging);
    } else if (self.stage == Stage::kMessaging) {
      self.stage = Stage::kStandby;
      self.items = list_cursor(self.entry, names().standby);
    } else if (!next_entry(self)) {
      return {};
    }
  }
}

void release_all(State& self) {
  self.stage = Stage::kDone;
  for (py::object* ref : {&self.payload, &self.object_type, &self.entry, &self.entry_id,
                          &self.entry_time}) {
    py::object dropped = std::move(*ref);  // the member is empty before the value goes
  }
  self.entries.clear();
  self.items.clear();
}

PyObject* iterator_next(PyObject* self) {
  State& it = state_of(self);
  // As with a generator: a call from inside a step (an id's __bool__ or __str__ calling
  // next()) would find the state half-moved.
  if (it.running) {
    PyErr_SetString(PyExc_ValueError, texts::kRunning);
    return nullptr;
  }
  if (it.stage == Stage::kDone) return nullptr;
  it.running = true;
  PyObject* event = pyutil::guarded([&] { return advance(it); });
  it.running = false;
  if (event == nullptr) release_all(it);  // the end, or an error: either way finished
  return event;
}

void iterator_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  state_of(self).~State();
  type->tp_free(self);
  Py_DECREF(type);
}

int iterator_traverse(PyObject* self, visitproc visit, void* arg) {
  State& it = state_of(self);
  Py_VISIT(Py_TYPE(self));
  for (py::object* ref : {&it.payload, &it.object_type, &it.entry, &it.entry_id,
                          &it.entry_time}) {
    Py_VISIT(ref->ptr());
  }
  if (const int r = it.entries.visit(visit, arg)) return r;
  return it.items.visit(visit, arg);
}

int iterator_clear(PyObject* self) {
  release_all(state_of(self));
  return 0;
}

}  // namespace

void add_event_iterator_type() {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("Lazy iterator over the events of one webhook delivery.")},
      {Py_tp_dealloc, reinterpret_cast<void*>(&iterator_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(&iterator_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(&iterator_clear)},
      {Py_tp_iter, reinterpret_cast<void*>(&PyObject_SelfIter)},
      {Py_tp_iternext, reinterpret_cast<void*>(&iterator_next)},
      {0, nullptr},
  };
  PyType_Spec type_spec{"corvane.webhooks.EventIterator", static_cast<int>(sizeof(IteratorObject)), 0,
                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                   slots};
  PyObject* type = PyType_FromSpec(&type_spec);
  if (type == nullptr) throw py::error_already_set();
  g_iterator_type = reinterpret_cast<PyTypeObject*>(type);  // kept for the process
}

py::object make_event_iterator(py::handle payload) {
  // Set up before the collector can see it (no zero-filling: the state is built in place).
  IteratorObject* self = PyObject_GC_New(IteratorObject, g_iterator_type);
  if (self == nullptr) throw py::error_already_set();
  State* state = new (&self->state) State();
  state->payload = py::reinterpret_borrow<py::object>(payload);
  PyObject_GC_Track(self);
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(self));
}

}  // namespace corvane::webhooks
