// The de-duplication key of a WebhookEvent: "object_type:field:id", or the event's origin and a
// digest of its value when nothing in the value identifies it.
#include <cstring>
#include <string>

#include "core/sha256.hpp"
#include "modules/webhooks/event.hpp"
#include "py/fast_lookup.hpp"
#include "py/values.hpp"

namespace corvane::webhooks {

namespace {

// Builds "a:b:c" from the text forms of its parts straight into UTF-8: ids and times are
// mostly ASCII text or plain integers, which need no intermediate str.
class KeyBuilder {
 public:
  // Every piece but the first is preceded by ":", also after an empty piece: "::5" and ":5"
  // are different keys.
  KeyBuilder& add(py::handle part) {
    if (pieces_++ > 0) text_.put(':');
    PyObject* p = part.ptr();
    if (PyUnicode_CheckExact(p)) {
      add_text(part);
    } else if (PyLong_CheckExact(p)) {
      append_int(text_, p);  // str() of an int is its repr
    } else if (p == Py_None) {
      text_.put("None");
    } else {
      add_text(pyutil::text_form(part));  // str(): True, 1.5, str subclasses, ...
    }
    return *this;
  }

  // ":" and the first 16 bytes of the digest in hexadecimal.
  KeyBuilder& add_digest(const core::Sha256Digest& digest) {
    char* p = text_.room(33);
    *p++ = ':';
    text_.commit(core::put_hex(p, digest, 16));
    return *this;
  }

  py::object build() const {
    const std::string_view text = text_.view();
    PyObject* out = nullptr;
    if (ascii_) {
      out = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
      if (out != nullptr) std::memcpy(PyUnicode_DATA(out), text.data(), text.size());
    } else {
      // surrogatepass gives back the lone surrogates that add_text wrote as three bytes.
      out = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                 "surrogatepass");
    }
    if (out == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(out);
  }

 private:
  void add_text(py::handle text) {
    if (PyUnicode_IS_ASCII(text.ptr())) {
      text_.put(std::string_view(static_cast<const char*>(PyUnicode_DATA(text.ptr())),
                                 static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.ptr()))));
    } else {
      ascii_ = false;
      pyutil::append_text_utf8(text_, text);
    }
  }

  core::TextBuffer text_;
  std::size_t pieces_ = 0;
  bool ascii_ = true;
};

}  // namespace

py::object event_key(py::handle event) {
  const Names& n = names();
  // The fields are held for the whole computation: an id's __bool__ or __str__ may assign
  // any field of the event anew, which would free a borrowed one mid-read.
  const auto field_of = [&](EventField index) {
    return py::reinterpret_borrow<py::object>(Event::get(event, index));
  };
  const py::object value = field_of(kValue);
  const py::object object_id = field_of(kObjectId);
  const py::object time = field_of(kTime);
  KeyBuilder key;
  key.add(field_of(kObjectType)).add(field_of(kField));

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
  core::TextBuffer canonical;
  append_json(canonical, value, JsonForm::kCanonical);
  const core::Sha256Digest digest = core::sha256(canonical.view());
  key.add(object_id).add(time);
  return key.add_digest(digest).build();
}

}  // namespace corvane::webhooks
