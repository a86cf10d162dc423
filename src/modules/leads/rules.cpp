// The rules that map one Lead Ads question to a canonical field: text trimming and lower-casing,
// the two-stage table look-up (exact map, then keyword heuristics) and phone cleaning.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "modules/leads/lead.hpp"
#include "py/fast_lookup.hpp"
#include "py/names.hpp"

namespace corvane::leads {

namespace {

// UTF-8 view of a str (valid while it lives). CPython keeps the UTF-8 form of a non-ASCII
// str once asked, so the policy's keywords are encoded once, not at every look-up; a text with
// lone surrogates has none and is copied into `storage` with their three-byte form.
std::string_view utf8_view(py::handle text, std::string& storage) {
  PyObject* s = text.ptr();
  if (PyUnicode_IS_ASCII(s)) {
    return {static_cast<const char*>(PyUnicode_DATA(s)),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(s))};
  }
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(s, &size)) {
    return {data, static_cast<std::size_t>(size)};
  }
  PyErr_Clear();
  core::TextBuffer encoded;
  pyutil::append_text_utf8(encoded, text);
  storage.assign(encoded.view());
  return storage;
}

// The field index of a canonical key named by a table; -1 for None or a name that is no field
// (the tables must never give one: the question then stays in custom, so no answer is lost).
int field_of_key(py::handle key) {
  if (!PyUnicode_IS_ASCII(key.ptr())) return -1;
  std::string unused;
  const std::string_view name = utf8_view(key, unused);
  for (std::size_t i = 0; i < kCanonicalCount; ++i) {
    if (name == LeadShape::kFields[i].name) return static_cast<int>(i);
  }
  return -1;
}

// A table's canonical key must be text or None.
void check_key(py::handle key, const char* where, py::handle name) {
  if (key.is_none() || PyUnicode_Check(key.ptr())) return;
  PyErr_Format(PyExc_TypeError, "lead tables: %s for %R must be str or None, not %s", where,
               name.ptr(), Py_TYPE(key.ptr())->tp_name);
  throw py::error_already_set();
}

[[noreturn]] void bad_heuristic(Py_ssize_t index, const char* what, py::handle found) {
  PyErr_Format(PyExc_TypeError, "lead tables: heuristics item %zd must be %s, not %s", index,
               what, Py_TYPE(found.ptr())->tp_name);
  throw py::error_already_set();
}

// A list or tuple (never a str, which would be walked letter by letter).
bool is_sequence(py::handle value) {
  return PyList_Check(value.ptr()) || PyTuple_Check(value.ptr());
}
Py_ssize_t seq_size(py::handle seq) { return PySequence_Fast_GET_SIZE(seq.ptr()); }
py::handle seq_item(py::handle seq, Py_ssize_t i) { return PySequence_Fast_GET_ITEM(seq.ptr(), i); }

// The set of byte values a UTF-8 text holds. A keyword holding a byte the name lacks cannot
// occur in it: most keywords are turned down by this test alone, far cheaper than a search
// (Cyrillic text repeats the same lead byte at every other position, where a search would stop
// each time).
struct ByteSet {
  std::uint64_t words[4] = {};
  void add(std::string_view text) {
    for (unsigned char c : text) words[c >> 6] |= std::uint64_t{1} << (c & 63);
  }
  bool within(const ByteSet& other) const {
    return ((words[0] & ~other.words[0]) | (words[1] & ~other.words[1]) |
            (words[2] & ~other.words[2]) | (words[3] & ~other.words[3])) == 0;
  }
};

// A field name prepared for many keyword searches: its UTF-8 bytes and their byte set.
class SearchableName {
 public:
  explicit SearchableName(py::handle name) : text_(utf8_view(name, storage_)) {
    bytes_.add(text_);
  }

  // True when `needle` occurs in the name. Substrings of the UTF-8 forms are substrings of
  // the texts, since no character's bytes start inside another's.
  bool holds(std::string_view needle, const ByteSet& needle_bytes) const {
    return needle_bytes.within(bytes_) && text_.find(needle) != std::string_view::npos;
  }

 private:
  std::string storage_;
  std::string_view text_;
  ByteSet bytes_;
};

// exact_map[name] when present: the answer goes to *found and true is returned.
bool exact_lookup(py::handle exact, py::handle name, py::object* found) {
  if (PyDict_Check(exact.ptr())) {
    *found = pyutil::dict_item(exact, name);
    return static_cast<bool>(*found);
  }
  // A read-only mapping proxy: asking first avoids a KeyError per unknown name.
  const int present = PySequence_Contains(exact.ptr(), name.ptr());
  if (present < 0) throw py::error_already_set();
  if (present == 0) return false;
  *found = owned(PyObject_GetItem(exact.ptr(), name.ptr()));
  return true;
}

// A keyword ready for searching: its UTF-8 bytes and the set of byte values they hold.
struct Keyword {
  std::string text;
  ByteSet bytes;
};

struct Rule {
  std::vector<Keyword> keywords;
  py::object key;  // str or None
};

// Checks the heuristics as a whole (every pair, also past a later match) and prepares them
// for searching.
std::vector<Rule> compile_heuristics(py::handle heuristics, py::handle name) {
  if (!is_sequence(heuristics)) {
    PyErr_Format(PyExc_TypeError,
                 "lead tables: heuristics must be a list of (keywords, key) pairs, not %s",
                 Py_TYPE(heuristics.ptr())->tp_name);
    throw py::error_already_set();
  }
  std::vector<Rule> rules;
  rules.reserve(static_cast<std::size_t>(seq_size(heuristics)));
  for (Py_ssize_t i = 0; i < seq_size(heuristics); ++i) {
    py::handle pair = seq_item(heuristics, i);
    if (!is_sequence(pair) || seq_size(pair) != 2) {
      bad_heuristic(i, "a (keywords, key) pair", pair);
    }
    py::handle keywords = seq_item(pair, 0);
    if (!is_sequence(keywords)) bad_heuristic(i, "a pair whose keywords are a list", keywords);
    py::handle key = seq_item(pair, 1);
    check_key(key, "the heuristics key", name);
    Rule rule{{}, py::reinterpret_borrow<py::object>(key)};
    for (Py_ssize_t k = 0; k < seq_size(keywords); ++k) {
      py::handle keyword = seq_item(keywords, k);
      if (!PyUnicode_Check(keyword.ptr())) bad_heuristic(i, "a pair of str keywords", keyword);
      std::string storage;
      Keyword compiled{std::string(utf8_view(keyword, storage)), {}};
      compiled.bytes.add(compiled.text);
      rule.keywords.push_back(std::move(compiled));
    }
    rules.push_back(std::move(rule));
  }
  return rules;
}

// Only a tuple of tuples of str can be kept prepared between calls: a list may change in
// place while it stays the same object.
bool deeply_immutable(py::handle heuristics) {
  if (!PyTuple_Check(heuristics.ptr())) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(heuristics.ptr()); ++i) {
    py::handle pair = PyTuple_GET_ITEM(heuristics.ptr(), i);
    if (!PyTuple_Check(pair.ptr()) || PyTuple_GET_SIZE(pair.ptr()) != 2 ||
        !PyTuple_Check(PyTuple_GET_ITEM(pair.ptr(), 0))) {
      return false;
    }
  }
  return true;
}

// The heuristics last prepared, kept while the current policy hands out the same tuple.
// Allocated once and never freed: it may hold Python objects until the interpreter ends.
struct PreparedHeuristics {
  py::object source;
  std::vector<Rule> rules;
};
PreparedHeuristics& prepared() {
  static auto* cache = new PreparedHeuristics;
  return *cache;
}

// The canonical key of the first heuristics pair with a keyword inside `name`, or an empty
// object when no keyword matches.
py::object heuristic_lookup(py::handle heuristics, py::handle name) {
  PreparedHeuristics& cache = prepared();
  std::vector<Rule> once;
  const std::vector<Rule>* rules = &cache.rules;
  if (!cache.source || cache.source.ptr() != heuristics.ptr()) {
    if (deeply_immutable(heuristics)) {
      cache.rules = compile_heuristics(heuristics, name);
      cache.source = py::reinterpret_borrow<py::object>(heuristics);
    } else {
      once = compile_heuristics(heuristics, name);
      rules = &once;
    }
  }
  const SearchableName searchable(name);
  for (const Rule& rule : *rules) {
    for (const Keyword& keyword : rule.keywords) {
      if (searchable.holds(keyword.text, keyword.bytes)) return rule.key;
    }
  }
  return {};
}

// corvane.policy, loaded on the first table read and kept for the process.
py::handle policy_module() {
  static const py::handle module = py::module_::import("corvane.policy").release();
  return module;
}

py::object call_method(py::handle target, py::handle name) {
  return owned(PyObject_CallMethodNoArgs(target.ptr(), name.ptr()));
}

// corvane.policy.current(), looked up at each call: hosts and tests may replace it.
py::object current_policy() { return call_method(policy_module(), pyutil::name<"current">()); }

}  // namespace

int canonical_field(py::handle raw_name, py::object* key) {
  py::object name = lower_text(strip_text(raw_name));
  if (key != nullptr) *key = py::none();
  if (PyUnicode_GET_LENGTH(name.ptr()) == 0) return -1;  // the tables are not read

  // One policy read per name, so renewed tables apply from the next name on. The heuristics
  // are asked for only when the exact map does not know the name.
  py::object policy = current_policy();
  py::object found;
  if (exact_lookup(call_method(policy, pyutil::name<"lead_map">()), name, &found)) {
    check_key(found, "the exact map value", name);  // None: no canonical key, no heuristics
  } else {
    found = heuristic_lookup(call_method(policy, pyutil::name<"lead_heuristics">()), name);
    if (!found) return -1;
  }
  if (key != nullptr) *key = found;
  return found.is_none() ? -1 : field_of_key(found);
}

py::str clean_phone(py::handle value) {
  PyObject* s = value.ptr();
  const Py_ssize_t size = PyUnicode_GET_LENGTH(s);
  const int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  std::u32string kept;
  kept.reserve(static_cast<std::size_t>(size));
  bool seen_any = false;  // a kept character came before
  bool leading_plus = false;
  for (Py_ssize_t i = 0; i < size; ++i) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    // Decimal digits of every script (Arabic-Indic, Devanagari, ...), as \d matches them.
    if (c == '+') {
      if (!seen_any) leading_plus = true;
    } else if (Py_UNICODE_ISDECIMAL(c)) {
      kept += static_cast<char32_t>(c);
    } else {
      continue;
    }
    seen_any = true;
  }
  if (leading_plus) kept.insert(kept.begin(), U'+');
  return owned<py::str>(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, kept.data(),
                                                  static_cast<Py_ssize_t>(kept.size())));
}

py::str strip_text(py::handle text) {
  PyObject* s = text.ptr();
  const int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  Py_ssize_t start = 0;
  Py_ssize_t end = PyUnicode_GET_LENGTH(s);
  while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
  while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
  if (start == 0 && end == PyUnicode_GET_LENGTH(s) && PyUnicode_CheckExact(s)) {
    return py::reinterpret_borrow<py::str>(text);
  }
  return owned<py::str>(PyUnicode_Substring(s, start, end));
}

py::str lower_text(py::handle text) {
  PyObject* s = text.ptr();
  if (!PyUnicode_IS_ASCII(s)) {
    // Full Unicode lower-casing ("İ" becomes two code points) is str.lower's.
    return owned<py::str>(PyObject_CallMethodNoArgs(s, pyutil::name<"lower">().ptr()));
  }
  const auto* chars = static_cast<const char*>(PyUnicode_DATA(s));
  const Py_ssize_t size = PyUnicode_GET_LENGTH(s);
  Py_ssize_t first_upper = 0;
  while (first_upper < size && !(chars[first_upper] >= 'A' && chars[first_upper] <= 'Z')) {
    ++first_upper;
  }
  if (first_upper == size && PyUnicode_CheckExact(s)) return py::reinterpret_borrow<py::str>(text);
  auto out = owned<py::str>(PyUnicode_New(size, 127));
  auto* dest = static_cast<char*>(PyUnicode_DATA(out.ptr()));
  for (Py_ssize_t i = 0; i < size; ++i) {
    const char c = chars[i];
    dest[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return out;
}

}  // namespace corvane::leads
