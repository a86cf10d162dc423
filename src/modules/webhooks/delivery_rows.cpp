// A delivery's raw body straight to the rows a receiver records. The receiver's other way there
// (json.loads, parse_events, the key and the value re-encoded per event) spent most of its time
// per delivery in the interpreter; this one decodes with simdjson and writes each value from
// C++, with the same result.
#include <string_view>

#include "modules/webhooks/event.hpp"
#include "py/fast_lookup.hpp"
#include "py/json_decode.hpp"
#include "py/owned.hpp"

namespace corvane::webhooks {

py::object delivery_rows(std::string_view body) {
  // Whatever the decoder declines (invalid UTF-8 or JSON, lone surrogate escapes, NaN, huge
  // numbers, deep nesting) could decode differently or not at all: json.loads judges it.
  py::object payload = pyutil::decode_json(body);
  if (!payload || !PyDict_CheckExact(payload.ptr())) return py::none();
  py::list rows;
  py::object events = make_event_iterator(payload);
  while (true) {
    auto event = py::reinterpret_steal<py::object>(PyIter_Next(events.ptr()));
    if (!event) {
      if (PyErr_Occurred()) throw py::error_already_set();  // a malformed part: TypeError
      break;
    }
    core::TextBuffer value;
    append_json(value, Event::get(event.ptr(), kValue), JsonForm::kCompact);
    auto text = pyutil::owned(PyUnicode_DecodeUTF8(
        value.view().data(), static_cast<Py_ssize_t>(value.size()), nullptr));
    py::tuple row = py::make_tuple(
        event.attr(name<"key">()), Event::get(event.ptr(), kObjectType),
        Event::get(event.ptr(), kField), event.attr(name<"page_id">()),
        event.attr(name<"leadgen_id">()), text);
    if (PyList_Append(rows.ptr(), row.ptr()) < 0) throw py::error_already_set();
  }
  return rows;
}

}  // namespace corvane::webhooks
