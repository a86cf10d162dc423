// WebhookEvent: the record and its derived properties.
#include <string>

#include "modules/webhooks/event.hpp"
#include "py/fast_lookup.hpp"
#include "py/values.hpp"

namespace corvane::webhooks {

using pyutil::dict_item;
using pyutil::truthy;

const char* const EventShape::kDoc =
    "WebhookEvent(object_type, field, object_id, time, value={})\n--\n\n"
    "One event of a Meta webhook delivery: a change (leadgen, feed, comments, mentions, ...) or\n"
    "a Messenger/Instagram Direct messaging or standby item. value defaults to a new empty dict\n"
    "per event.\n\n"
    "A plain mutable record compared by value over its five fields in order. The properties\n"
    "key, leadgen_id, page_id and form_id are computed from the fields on every read.";

namespace {

Names* g_names = nullptr;

PyObject* get_key(PyObject* self, void*) {
  return pyutil::guarded([&] { return event_key(self); });
}

// The value, held: a look-up in it may run a key's __eq__, which may assign `value` anew and
// free the dict being read.
py::object value_of(PyObject* self) {
  return py::reinterpret_borrow<py::object>(Event::get(self, kValue));
}

// leadgen_id and form_id: the value's member `Name` as text when it is truthy, else None.
template <py::handle Names::*Name>
PyObject* get_text_of(PyObject* self, void*) {
  return pyutil::guarded([&] {
    return text_or(dict_item(value_of(self), names().*Name), Py_None);
  });
}

// The value's "page_id" when truthy, else the entry id (a Page's entry id is the Page).
PyObject* get_page_id(PyObject* self, void*) {
  return pyutil::guarded([&] {
    py::object chosen = dict_item(value_of(self), names().page_id);
    if (!truthy(chosen)) chosen = py::reinterpret_borrow<py::object>(Event::get(self, kObjectId));
    return text_or(chosen, Py_None);
  });
}

PyGetSetDef g_properties[] = {
    {"key", &get_key, nullptr,
     "The de-duplication key of this event (dedupe_key(self)); store it in a unique column.",
     nullptr},
    {"leadgen_id", &get_text_of<&Names::leadgen_id>, nullptr,
     "The value's \"leadgen_id\" as text when it is truthy, else None.", nullptr},
    {"page_id", &get_page_id, nullptr,
     "The value's \"page_id\" when truthy, otherwise object_id; as text, or None.", nullptr},
    {"form_id", &get_text_of<&Names::form_id>, nullptr,
     "The value's \"form_id\" as text when it is truthy, else None.", nullptr},
    {},
};

}  // namespace

PyGetSetDef* EventShape::extra_getsets() { return g_properties; }

const Names& names() { return *g_names; }

void init_names() {
  using pyutil::interned;
  g_names = new Names{  // lives as long as the process, like the interned texts it holds
      interned("object"),     interned("entry"),      interned("id"),
      interned("time"),       interned("changes"),    interned("messaging"),
      interned("standby"),    interned("field"),      interned("value"),
      interned("message"),    interned("mid"),        interned("leadgen_id"),
      interned("page_id"),    interned("form_id"),    interned("comment_id"),
      interned("media_id"),   interned("post_id"),    interned("unknown"),
      interned("messages"),   interned("messages_standby"),
  };
}

}  // namespace corvane::webhooks
