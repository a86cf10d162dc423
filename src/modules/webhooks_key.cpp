// The de-duplication key of a WebhookEvent: "object_type:field:id", or the event's origin and a
// digest of its value when nothing in the value identifies it.
#include <cstring>
#include <string>

#include "core/json_number.hpp"
#include "core/sha256.hpp"
#include "modules/webhooks_event.hpp"
#include "py/fast_lookup.hpp"
#include "py/values.hpp"

namespace corvane::webhooks {

namespace {

// Builds "a:b:c" from the text forms of its parts straight into UTF-8: ids and times are
// mostly ASCII text or plain integers, which need no intermediate str.
class KeyBuilder {
 public:
  KeyBuilder() { text_.reserve(96); }

  KeyBuilder& add(py::handle part) {
    if (!text_.empty()) text_ += ':';
    PyObject* p = part.ptr();
    if (PyUnicode_CheckExact(p)) {
      add_text(part);
    } else if (PyLong_CheckExact(p)) {
      int overflow = 0;
      const long long number = PyLong_AsLongLongAndOverflow(p, &overflow);
      if (overflow == 0) {
        core::append_integer(text_, number);
      } else {
        add_text(pyutil::text_form(part));
      }
    } else if (p == Py_None) {
      text_ += "None";
    } else {
      add_text(pyutil::text_form(part));  // str(): True, 1.5, str subclasses, ...
    }
    return *this;
  }

  KeyBuilder& add_ascii(std::string_view part) {
    text_ += ':';
    text_ += part;
    return *this;
  }

  py::object build() const {
    PyObject* out = nullptr;
    if (ascii_) {
      out = PyUnicode_New(static_cast<Py_ssize_t>(text_.size()), 127);
      if (out != nullptr) std::memcpy(PyUnicode_DATA(out), text_.data(), text_.size());
    } else {
      // surrogatepass gives back the lone surrogates that add_text wrote as three bytes.
      out = PyUnicode_DecodeUTF8(text_.data(), static_cast<Py_ssize_t>(text_.size()),
                                 "surrogatepass");
    }
    if (out == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(out);
  }

 private:
  void add_text(py::handle text) {
    if (PyUnicode_IS_ASCII(text.ptr())) {
      text_.append(static_cast<const char*>(PyUnicode_DATA(text.ptr())),
                   static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.ptr())));
    } else {
      ascii_ = false;
      pyutil::append_text_utf8(text_, text);
    }
  }

  std::string text_;
  bool ascii_ = true;
};

}  // namespace

py::object event_key(py::handle event) {
  const Names& n = names();
  py::handle value = Event::get(event, kValue);
  KeyBuilder key;
  key.add(Event::get(event, kObjectType)).add(Event::get(event, kField));

  if (PyDict_Check(value.ptr())) {
    // 1. The first truthy identifier, in this order: a feed change carrying both a comment
    //    and its post is keyed by the comment.
    for (py::handle name : {n.leadgen_id, n.mid, n.comment_id, n.media_id, n.post_id}) {
      py::object id = pyutil::dict_item(value, name);
      if (pyutil::truthy(id)) return key.add(id).build();
    }
    // 2. Messaging and standby items carry their id under message.mid.
    py::object message = pyutil::dict_item(value, n.message);
    if (message && PyDict_Check(message.ptr())) {
      py::object mid = pyutil::dict_item(message, n.mid);
      if (pyutil::truthy(mid)) return key.add(mid).build();
    }
  }
  // 3. Nothing identifies the event: key it by where it came from and a digest of its content.
  std::string canonical;
  canonical.reserve(512);
  append_canonical_json(canonical, value);
  const std::string digest = core::sha256_hex(canonical);
  key.add(Event::get(event, kObjectId)).add(Event::get(event, kTime));
  return key.add_ascii(std::string_view(digest).substr(0, 32)).build();
}

}  // namespace corvane::webhooks
