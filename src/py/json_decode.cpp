// simdjson's DOM walked into Python objects. simdjson validates the whole document (UTF-8
// included) before the walk starts, so the walk itself never meets malformed input.
#include "py/json_decode.hpp"

#include <Python.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <array>
#include <cstdint>

#include <simdjson.h>

namespace corvane::pyutil {
namespace {

namespace dom = simdjson::dom;

// A document bigger than this gets a parser of its own, freed after the call, so that one
// huge body does not pin its buffers for the life of the process.
constexpr std::size_t kKeptCapacity = std::size_t{4} << 20;

bool is_ascii(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, 8);
    if (word & 0x8080808080808080ULL) return false;
  }
  unsigned char any = 0;
  for (; i < n; ++i) any |= p[i];
  return (any & 0x80) == 0;
}

// Raised by the walk when Python itself failed (the error is set).
struct PythonFailed {};

PyObject* new_text(std::string_view text) {
  PyObject* out;
  if (is_ascii(text)) {
    out = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (out != nullptr) std::memcpy(PyUnicode_DATA(out), text.data(), text.size());
  } else {
    out = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
  }
  if (out == nullptr) throw PythonFailed{};
  return out;
}

class Walker {
 public:
  // A new reference to the Python value of `element`.
  PyObject* value(dom::element element) {
    switch (element.type()) {
      case dom::element_type::OBJECT: return object(element.get_object().value_unsafe());
      case dom::element_type::ARRAY: return array(element.get_array().value_unsafe());
      case dom::element_type::STRING: return new_text(element.get_string().value_unsafe());
      case dom::element_type::INT64:
        return checked(PyLong_FromLongLong(element.get_int64().value_unsafe()));
      case dom::element_type::UINT64:
        return checked(PyLong_FromUnsignedLongLong(element.get_uint64().value_unsafe()));
      case dom::element_type::DOUBLE:
        return checked(PyFloat_FromDouble(element.get_double().value_unsafe()));
      case dom::element_type::BOOL:
        return Py_NewRef(element.get_bool().value_unsafe() ? Py_True : Py_False);
      case dom::element_type::NULL_VALUE: return Py_NewRef(Py_None);
    }
    return Py_NewRef(Py_None);  // unreachable: every element type is handled above
  }

 private:
  static PyObject* checked(PyObject* made) {
    if (made == nullptr) throw PythonFailed{};
    return made;
  }

  // Member names repeat on every item of a page: one str per name, as json.loads makes it,
  // and its hash is computed once. A small direct-mapped cache: a name whose slot another one
  // took is simply made again.
  PyObject* key(std::string_view text) {
    std::uint32_t h = 2166136261u;  // FNV-1a
    for (unsigned char c : text) h = (h ^ c) * 16777619u;
    Slot& slot = slots_[h % slots_.size()];
    if (slot.key != nullptr && slot.text == text) return Py_NewRef(slot.key);
    PyObject* made = new_text(text);
    Py_XDECREF(slot.key);
    slot.text = text;
    slot.key = Py_NewRef(made);
    return made;
  }

  PyObject* object(dom::object members) {
    py::object out = py::reinterpret_steal<py::object>(checked(PyDict_New()));
    for (dom::key_value_pair member : members) {
      py::object name = py::reinterpret_steal<py::object>(key(member.key));
      py::object item = py::reinterpret_steal<py::object>(value(member.value));
      if (PyDict_SetItem(out.ptr(), name.ptr(), item.ptr()) != 0) throw PythonFailed{};
    }
    return out.release().ptr();
  }

  PyObject* array(dom::array items) {
    py::object out = py::reinterpret_steal<py::object>(checked(PyList_New(0)));
    for (dom::element item : items) {
      py::object made = py::reinterpret_steal<py::object>(value(item));
      if (PyList_Append(out.ptr(), made.ptr()) != 0) throw PythonFailed{};
    }
    return out.release().ptr();
  }

  struct Slot {
    std::string_view text;  // a view into the parser's string buffer, valid for the walk
    PyObject* key = nullptr;
  };
  std::array<Slot, 64> slots_{};

 public:
  Walker() = default;
  Walker(const Walker&) = delete;
  Walker& operator=(const Walker&) = delete;
  ~Walker() {
    for (Slot& slot : slots_) Py_XDECREF(slot.key);
  }
};

// The parser kept between calls, and whether a call is using it: a finaliser that runs Python
// code during the walk could decode again, and must not reuse buffers that are being read.
struct KeptParser {
  dom::parser parser{};
  bool busy = false;
  // The body copied with simdjson's padding after it; grown as bodies grow, up to
  // kKeptCapacity.
  std::unique_ptr<char[]> text;
  std::size_t capacity = 0;
  KeptParser() { (void)parser.allocate(64 * 1024, kMaxDepth); }

  std::string_view padded_copy(std::string_view utf8) {
    if (capacity < utf8.size() + simdjson::SIMDJSON_PADDING) {
      capacity = std::max<std::size_t>(utf8.size() + simdjson::SIMDJSON_PADDING, 2 * capacity);
      text.reset(new char[capacity]);
    }
    std::memcpy(text.get(), utf8.data(), utf8.size());
    std::memset(text.get() + utf8.size(), 0, simdjson::SIMDJSON_PADDING);
    return {text.get(), utf8.size()};
  }
};

// One per process: every decode runs on the thread that holds the GIL.
KeptParser& kept() {
  static KeptParser* const state = new KeptParser();  // never freed: decodes run until exit
  return *state;
}

py::object walk(dom::parser& parser, std::string_view utf8, bool padded) {
  dom::element root;
  // `padded`: the text is followed by SIMDJSON_PADDING readable bytes, so simdjson need not
  // copy it into a padded buffer of its own (an allocation per body).
  if (parser.parse(utf8.data(), utf8.size(), !padded).get(root) != simdjson::SUCCESS) {
    return py::object();
  }
  try {
    return py::reinterpret_steal<py::object>(Walker().value(root));
  } catch (PythonFailed&) {
    // Only a failing allocation can get here; anything else simdjson let through would be a
    // text that json.loads reads its own way, so that path decides.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw py::error_already_set();
    PyErr_Clear();
    return py::object();
  }
}

}  // namespace

py::object decode_json(std::string_view utf8) {
  KeptParser& state = kept();
  if (state.busy || utf8.size() > kKeptCapacity) {
    dom::parser own;
    if (own.allocate(utf8.size(), kMaxDepth) != simdjson::SUCCESS) return py::object();
    return walk(own, utf8, false);
  }
  state.busy = true;
  struct Release {
    bool& busy;
    ~Release() { busy = false; }
  } release{state.busy};
  return walk(state.parser, state.padded_copy(utf8), true);
}

}  // namespace corvane::pyutil
