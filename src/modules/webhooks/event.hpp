// Internals of corvane.webhooks shared by its source files: the WebhookEvent record, the
// de-duplication key, the canonical serialisation behind its digest, and the lazy parser.
#pragma once

#include <string>
#include <string_view>

#include <pybind11/pybind11.h>

#include "core/text_buffer.hpp"
#include "py/names.hpp"
#include "py/slot_record.hpp"
#include "py/values.hpp"

namespace corvane::webhooks {

namespace py = pybind11;

// Positions of the fields of WebhookEvent.
enum EventField : std::size_t { kObjectType, kField, kObjectId, kTime, kValue };

struct EventShape {
  static constexpr const char* kName = "corvane.webhooks.WebhookEvent";
  static const char* const kDoc;
  static constexpr pyutil::RecordField kFields[] = {
      {"object_type", pyutil::FieldCheck::Text, pyutil::FieldDefault::Required,
       "The payload's \"object\" (page, instagram, ...), or \"unknown\"."},
      {"field", pyutil::FieldCheck::Text, pyutil::FieldDefault::Required,
       "The change's \"field\" (leadgen, feed, ...), \"messages\", \"messages_standby\" or "
       "\"unknown\"."},
      {"object_id", pyutil::FieldCheck::OptionalText, pyutil::FieldDefault::Required,
       "The entry's \"id\" as text, or None when the entry has none."},
      {"time", pyutil::FieldCheck::Any, pyutil::FieldDefault::Required,
       "The entry's \"time\" exactly as delivered, or None."},
      {"value", pyutil::FieldCheck::Any, pyutil::FieldDefault::NewDict,
       "The change's \"value\", or the whole messaging/standby item."},
  };
  static PyGetSetDef* extra_getsets();
  static PyMethodDef* extra_methods() { return nullptr; }
};

using Event = pyutil::RecordType<EventShape>;

// Interned texts used while parsing and keying; made once at module import. A struct read
// through one pointer, not pyutil::name<>, whose guard at each use cost the delivery path 4%.
struct Names {
  py::handle object, entry, id, time, changes, messaging, standby, field, value, message, mid;
  py::handle leadgen_id, page_id, form_id, comment_id, media_id, post_id;
  py::handle unknown, messages, messages_standby;
};
const Names& names();
void init_names();

// Names for the paths that run once per call.
using pyutil::name;

// The de-duplication key of a WebhookEvent (the caller checked the type).
py::object event_key(py::handle event);

// Appends the decimal text of an int as int.__repr__ writes it (also for subclasses).
void append_int(core::TextBuffer& out, PyObject* number);

// str(value) when it is truthy, else `fallback`.
inline py::object text_or(py::handle value, py::handle fallback) {
  return pyutil::truthy(value) ? py::object(pyutil::text_form(value))
                               : py::reinterpret_borrow<py::object>(fallback);
}

// Appends `value` in UTF-8 as json.dumps(value, sort_keys=True, ensure_ascii=False) writes it
// (kCanonical), or as json.dumps(value, ensure_ascii=False, separators=(",", ":")) writes it,
// members in their own order (kCompact).
enum class JsonForm { kCanonical, kCompact };
void append_json(core::TextBuffer& out, py::handle value, JsonForm form);

// The rows a receiver records for the events of a delivery's body: (key, object_type, field,
// page_id, leadgen_id, the value as compact JSON), or None when the body is for json.loads to
// judge (see delivery_rows.cpp).
py::object delivery_rows(std::string_view body);

// The lazy iterator of parse_events; make_event_iterator needs add_event_iterator_type first.
void add_event_iterator_type();
py::object make_event_iterator(py::handle payload);

}  // namespace corvane::webhooks
