// WebhookEvent: the record, its derived properties and its de-duplication key.
#include <string>

#include "core/sha256.hpp"
#include "modules/webhooks_event.hpp"
#include "py/fast_lookup.hpp"
#include "py/values.hpp"

namespace corvane::webhooks {

using pyutil::dict_item;
using pyutil::text_form;
using pyutil::truthy;

const char* const EventSpec::kDoc =
    "WebhookEvent(object_type, field, object_id, time, value={})\n--\n\n"
    "One event of a Meta webhook delivery: a change (leadgen, feed, comments, mentions, ...) or\n"
    "a Messenger/Instagram Direct messaging or standby item. value defaults to a new empty dict\n"
    "per event.\n\n"
    "A plain mutable record compared by value over its five fields in order. The properties\n"
    "key, leadgen_id, page_id and form_id are computed from the fields on every read.";

namespace {

Names* g_names = nullptr;

// "a:b:c..." from texts.
py::object join_colon(std::initializer_list<py::handle> parts) {
  py::tuple items(parts.size());
  std::size_t i = 0;
  for (py::handle part : parts) items[i++] = part;
  auto joined = py::reinterpret_steal<py::object>(PyUnicode_Join(names().colon.ptr(), items.ptr()));
  if (!joined) throw py::error_already_set();
  return joined;
}

// The text form of value[name] when it is truthy, else None.
py::object truthy_text(py::handle value, py::handle name) {
  py::object found = dict_item(value, name);
  return truthy(found) ? py::object(text_form(found)) : py::object(py::none());
}

PyObject* get_key(PyObject* self, void*) {
  return pyutil::guarded([&] { return event_key(self); });
}

PyObject* get_leadgen_id(PyObject* self, void*) {
  return pyutil::guarded([&] { return truthy_text(Event::get(self, kValue), names().leadgen_id); });
}

PyObject* get_form_id(PyObject* self, void*) {
  return pyutil::guarded([&] { return truthy_text(Event::get(self, kValue), names().form_id); });
}

// The value's "page_id" when truthy, else the entry id (a Page's entry id is the Page).
PyObject* get_page_id(PyObject* self, void*) {
  return pyutil::guarded([&] {
    py::object chosen = dict_item(Event::get(self, kValue), names().page_id);
    if (!truthy(chosen)) chosen = py::reinterpret_borrow<py::object>(Event::get(self, kObjectId));
    return truthy(chosen) ? py::object(text_form(chosen)) : py::object(py::none());
  });
}

PyGetSetDef g_properties[] = {
    {"key", &get_key, nullptr,
     "The de-duplication key of this event (dedupe_key(self)); store it in a unique column.",
     nullptr},
    {"leadgen_id", &get_leadgen_id, nullptr,
     "The value's \"leadgen_id\" as text when it is truthy, else None.", nullptr},
    {"page_id", &get_page_id, nullptr,
     "The value's \"page_id\" when truthy, otherwise object_id; as text, or None.", nullptr},
    {"form_id", &get_form_id, nullptr,
     "The value's \"form_id\" as text when it is truthy, else None.", nullptr},
    {},
};

}  // namespace

PyGetSetDef* EventSpec::extra_getsets() { return g_properties; }

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
      interned("messages"),   interned("messages_standby"), interned(":"),
  };
}

py::object event_key(py::handle event) {
  const Names& n = names();
  py::handle value = Event::get(event, kValue);
  py::str object_type = text_form(Event::get(event, kObjectType));
  py::str field = text_form(Event::get(event, kField));

  // 1. The first truthy identifier, in this order: a feed change carrying both a comment and
  //    its post is keyed by the comment.
  for (py::handle name : {n.leadgen_id, n.mid, n.comment_id, n.media_id, n.post_id}) {
    py::object id = dict_item(value, name);
    if (truthy(id)) return join_colon({object_type, field, text_form(id)});
  }
  // 2. Messaging and standby items carry their id under message.mid.
  py::object message = dict_item(value, n.message);
  if (message && PyDict_Check(message.ptr())) {
    py::object mid = dict_item(message, n.mid);
    if (truthy(mid)) return join_colon({object_type, field, text_form(mid)});
  }
  // 3. Nothing identifies the event: key it by where it came from and a digest of its content.
  std::string canonical;
  canonical.reserve(256);
  append_canonical_json(canonical, value);
  const std::string digest = core::sha256_hex(canonical).substr(0, 32);
  return join_colon({object_type, field, text_form(Event::get(event, kObjectId)),
                     text_form(Event::get(event, kTime)), py::str(digest)});
}

}  // namespace corvane::webhooks
