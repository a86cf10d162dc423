// JSON text written straight from the Python objects, in UTF-8: the canonical form behind the
// digest keys, byte for byte what json.dumps(value, sort_keys=True, ensure_ascii=False) gives,
// and the compact form a receiver stores, what json.dumps(value, ensure_ascii=False,
// separators=(",", ":")) gives.
#include <algorithm>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/json_number.hpp"
#include "core/json_text.hpp"
#include "modules/webhooks/event.hpp"
#include "modules/webhooks/texts.hpp"
#include "py/fast_lookup.hpp"

namespace corvane::webhooks {

using namespace std::string_view_literals;

namespace {

std::string_view ascii_view(PyObject* s) {
  return {static_cast<const char*>(PyUnicode_DATA(s)),
          static_cast<std::size_t>(PyUnicode_GET_LENGTH(s))};
}

void append_string(core::TextBuffer& out, PyObject* s) {
  if (PyUnicode_IS_ASCII(s)) {
    core::append_json_ascii(out, ascii_view(s));
    return;
  }
  pyutil::with_code_units(s, [&](const auto* units, std::size_t size) {
    core::append_json_string(out, units, size);
  });
}

// Anything json writes in its own way (dict subclasses, keys that are not str) or refuses
// (with json's own error): let json write it.
void append_by_json(core::TextBuffer& out, PyObject* value, JsonForm form) {
  static py::handle dumps = py::object(py::module_::import("json").attr("dumps")).release();
  py::object text = form == JsonForm::kCanonical
                        ? dumps(py::handle(value), py::arg("sort_keys") = true,
                                py::arg("ensure_ascii") = false)
                        : dumps(py::handle(value), py::arg("ensure_ascii") = false,
                                py::arg("separators") = py::make_tuple(",", ":"));
  pyutil::append_text_utf8(out, text);
}

// One member of a dict being written (references held by MemberList); the key's ASCII text
// spares the sort a look at the str. Trivially constructible (no string_view), so that the
// array on the stack costs nothing to set up: zeroing it cost more than sorting it.
struct Member {
  PyObject* key;
  PyObject* value;
  const char* ascii;  // the key's text when it is ASCII, else nullptr
  std::size_t ascii_size;
};
static_assert(std::is_trivially_default_constructible_v<Member>);

// Code-point order of two keys. ASCII keys (nearly all of them) are compared here, byte by
// byte: they mostly differ within their first bytes, where a call to memcmp costs more than
// the loop.
inline bool key_less(const Member& a, const Member& b) {
  if (a.ascii != nullptr && b.ascii != nullptr) {
    const std::size_t common = std::min(a.ascii_size, b.ascii_size);
    for (std::size_t i = 0; i < common; ++i) {
      if (a.ascii[i] != b.ascii[i]) return a.ascii[i] < b.ascii[i];  // both below 0x80
    }
    return a.ascii_size < b.ascii_size;
  }
  return PyUnicode_Compare(a.key, b.key) < 0;  // code-point order; cannot fail
}

// The members of one dict, each holding its key and value: json's fallback may run a dict
// subclass's own code while they are written, which could change the dict.
class MemberList {
 public:
  explicit MemberList(std::size_t size) {
    if (size > kOnStack) {
      heap_.resize(size);
      members_ = heap_.data();
    }
  }
  ~MemberList() {
    for (const Member& m : view()) {
      Py_DECREF(m.key);
      Py_DECREF(m.value);
    }
  }
  MemberList(const MemberList&) = delete;
  MemberList& operator=(const MemberList&) = delete;

  void add(PyObject* key, PyObject* value) {
    const bool is_ascii = PyUnicode_IS_ASCII(key);
    members_[count_++] = {Py_NewRef(key), Py_NewRef(value),
                          is_ascii ? static_cast<const char*>(PyUnicode_DATA(key)) : nullptr,
                          static_cast<std::size_t>(PyUnicode_GET_LENGTH(key))};
  }
  void sort() {
    // Insertion sort for the handful of members most objects have; the comparison inlines
    // either way (a lambda, not a function pointer).
    if (count_ > kOnStack) {
      std::sort(members_, members_ + count_, [](const Member& a, const Member& b) {
        return key_less(a, b);
      });
      return;
    }
    for (std::size_t i = 1; i < count_; ++i) {
      const Member moving = members_[i];
      std::size_t j = i;
      for (; j > 0 && key_less(moving, members_[j - 1]); --j) members_[j] = members_[j - 1];
      members_[j] = moving;
    }
  }
  std::span<const Member> view() const { return {members_, count_}; }

 private:
  // Most objects Meta sends have a handful of members: they stay on the stack.
  static constexpr std::size_t kOnStack = 16;
  Member stack_[kOnStack];
  std::vector<Member> heap_;
  Member* members_ = stack_;
  std::size_t count_ = 0;
};

// Nesting the writer allows. Each level takes about a kilobyte of C stack (a dict's members
// sit on the stack), so this fits well within the smallest stack a host thread gets; the
// interpreter's recursion limit alone is no bound, as a host may raise it to millions.
constexpr int kMaxDepth = 1000;

// Writes one value; dicts and lists recurse through it. Deeply nested values fail with
// RecursionError, as they do in json.dumps, instead of exhausting the C stack: the nesting
// is counted here (cheaper than entering and leaving the interpreter's own count at every
// container) against the interpreter's recursion limit, and never past kMaxDepth.
class JsonWriter {
 public:
  JsonWriter(core::TextBuffer& out, JsonForm form)
      : out_(out),
        depth_left_(std::min(Py_GetRecursionLimit(), kMaxDepth)),
        sorted_(form == JsonForm::kCanonical),
        form_(form),
        member_separator_(sorted_ ? ", "sv : ","sv),
        key_separator_(sorted_ ? ": "sv : ":"sv) {}

  // Exact types first (nearly every value of parsed JSON), then json's own order of checks
  // for subclasses, so that every value takes the branch it takes there.
  void value(PyObject* v) {
    PyTypeObject* type = Py_TYPE(v);
    if (type == &PyUnicode_Type) {
      append_string(out_, v);
    } else if (type == &PyDict_Type) {
      nested([&] { dict(v); });
    } else if (type == &PyLong_Type) {
      append_int(out_, v);
    } else if (type == &PyList_Type) {
      nested([&] { sequence(v); });
    } else if (v == Py_None) {
      out_.put("null"sv);
    } else if (v == Py_True) {
      out_.put("true"sv);
    } else if (v == Py_False) {
      out_.put("false"sv);
    } else if (PyUnicode_Check(v)) {
      append_string(out_, v);
    } else if (PyLong_Check(v)) {
      append_int(out_, v);
    } else if (PyFloat_Check(v)) {
      core::append_json_float(out_, PyFloat_AS_DOUBLE(v));
    } else if (PyList_Check(v) || PyTuple_Check(v)) {
      nested([&] { sequence(v); });
    } else {
      append_by_json(out_, v, form_);  // dict subclasses included: json asks them for their items
    }
  }

 private:
  template <class Write>
  void nested(Write write) {
    if (--depth_left_ < 0) {
      PyErr_SetString(PyExc_RecursionError, texts::kTooDeep);
      throw py::error_already_set();
    }
    write();
    ++depth_left_;
  }

  void dict(PyObject* dict) {
    const auto size = static_cast<std::size_t>(PyDict_GET_SIZE(dict));
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    Py_ssize_t pos = 0;
    if (size <= 1) {
      // {} and {"id": ...}: nothing to sort. The member is held while its value is written,
      // like the members of larger dicts.
      if (size == 0 || !PyDict_Next(dict, &pos, &key, &item)) {
        out_.put("{}"sv);
        return;
      }
      if (!PyUnicode_Check(key)) {
        append_by_json(out_, dict, form_);
        return;
      }
      const auto held_key = py::reinterpret_borrow<py::object>(key);
      const auto held_value = py::reinterpret_borrow<py::object>(item);
      out_.put('{');
      append_string(out_, key);
      out_.put(key_separator_);
      value(item);
      out_.put('}');
      return;
    }
    MemberList members(size);
    for (std::size_t count = 0; PyDict_Next(dict, &pos, &key, &item) && count < size; ++count) {
      if (!PyUnicode_Check(key)) {
        append_by_json(out_, dict, form_);  // json turns such keys into text its own way
        return;
      }
      members.add(key, item);  // nothing runs while the dict is read: size stays the bound
    }
    if (sorted_) members.sort();
    out_.put('{');
    bool first = true;
    for (const Member& member : members.view()) {
      if (!first) out_.put(member_separator_);
      first = false;
      append_string(out_, member.key);
      out_.put(key_separator_);
      value(member.value);
    }
    out_.put('}');
  }

  void sequence(PyObject* sequence) {
    // The size is read again at each step and each element is held while it is written:
    // json's fallback may run a dict subclass's own code, which could change the list.
    out_.put('[');
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence); ++i) {
      if (i > 0) out_.put(member_separator_);
      auto element = py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(sequence, i));
      value(element.ptr());
    }
    out_.put(']');
  }

  core::TextBuffer& out_;
  int depth_left_;
  bool sorted_;
  JsonForm form_;
  std::string_view member_separator_, key_separator_;
};

}  // namespace

// What json writes for an int: int.__repr__, also for subclasses (IntEnum and the like).
void append_int(core::TextBuffer& out, PyObject* number) {
  if (PyLong_CheckExact(number)) {
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (overflow == 0) {
      if (small == -1 && PyErr_Occurred()) throw py::error_already_set();
      core::append_integer(out, small);
      return;
    }
  }
  auto text = py::reinterpret_steal<py::object>(PyLong_Type.tp_repr(number));
  if (!text) throw py::error_already_set();  // e.g. past the int-to-str digit limit
  pyutil::append_text_utf8(out, text);
}

void append_json(core::TextBuffer& out, py::handle value, JsonForm form) {
  JsonWriter(out, form).value(value.ptr());
}

}  // namespace corvane::webhooks
