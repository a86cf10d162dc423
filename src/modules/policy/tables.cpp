// Validation of policy documents into immutable tables.
#include "modules/policy/tables.hpp"

#include <algorithm>
#include <string>

#include "modules/policy/texts.hpp"
#include "py/binder.hpp"
#include "py/values.hpp"

namespace corvane::policy {
namespace {

// ValueError "policy member <path>: <problem>".
[[noreturn]] void malformed(const std::string& path, const std::string& problem) {
  throw py::value_error(texts::kMember + path + ": " + problem);
}

// repr(key) for an error message. A repr that is not valid UTF-8 (a lone surrogate from a
// key's own __repr__) falls back to ascii(), which always is.
std::string quoted(py::handle key) {
  auto text = owned(PyObject_Repr(key.ptr()));
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (data != nullptr) return {data, static_cast<std::size_t>(size)};
  PyErr_Clear();
  return owned(PyObject_ASCII(key.ptr())).cast<std::string>();
}

std::string type_name(py::handle value) { return Py_TYPE(value.ptr())->tp_name; }

bool is_sequence(py::handle value) {
  return PyList_Check(value.ptr()) || PyTuple_Check(value.ptr());
}

// The (key, value) pairs of a dict as a new list: every pair is held strongly while checks
// run code of the host (a key's repr, __hash__ or __eq__), which may change or clear the
// dict itself.
py::list items_of(py::handle dict) {
  return owned<py::list>(PyDict_Items(dict.ptr()));
}

// The members of a list or tuple as a new tuple, taken through iteration: a subclass's
// __len__ is never trusted for indexing, and the snapshot holds every member strongly.
py::tuple members_of(py::handle sequence) {
  return owned<py::tuple>(PySequence_Tuple(sequence.ptr()));
}

// The UTF-8 form of a str member; text that has none (a lone surrogate) can never be sent
// or matched, so it is malformed at `path`.
std::string text_at(py::handle value, const std::string& path) {
  const auto text = pyutil::utf8_if_text(value);
  if (!text) malformed(path, texts::kLoneSurrogate);
  return std::string(*text);
}

// The tables keep exact str copies: a str subclass with its own __hash__ or __eq__ would
// otherwise run host code on every later look-up.
py::str exact(const std::string& text) { return py::str(text.data(), text.size()); }

// Lead tables are matched against trimmed, lower-cased names, so anything else is dead.
bool is_normalised(const py::str& text) {
  return text.attr("strip")().attr("lower")().equal(text);
}

bool is_canonical(std::string_view key) {
  return std::find(kCanonicalKeys.begin(), kCanonicalKeys.end(), key) != kCanonicalKeys.end();
}

py::object canonical_or_none(py::handle value, const std::string& path) {
  if (value.is_none()) return py::none();
  if (!PyUnicode_Check(value.ptr()))
    malformed(path, texts::kCanonicalOrNone + type_name(value));
  const auto key = text_at(value, path);
  if (!is_canonical(key)) malformed(path, quoted(value) + texts::kNotCanonical);
  return exact(key);
}

// Braces nest sub-selections and parentheses carry modifiers ("picture{url}",
// "comments.summary(true).limit(0)"); an unbalanced list fails every request that uses it.
bool balanced(std::string_view list) {
  std::string open;
  for (char c : list) {
    if (c == '{' || c == '(') {
      open.push_back(c);
    } else if (c == '}' || c == ')') {
      if (open.empty() || open.back() != (c == '}' ? '{' : '(')) return false;
      open.pop_back();
    }
  }
  return open.empty();
}

// Each (name, value) of a member that must be a dict, with the place that names it in messages
// ("'fields'['FB_PAGE']").
template <class Entry>
void for_each_entry(py::handle member, const std::string& path, Entry entry) {
  if (!PyDict_Check(member.ptr())) malformed(path, texts::kDict + type_name(member));
  for (py::handle item : items_of(member)) {
    const py::handle name = PyTuple_GET_ITEM(item.ptr(), 0);
    entry(name, PyTuple_GET_ITEM(item.ptr(), 1), path + "[" + quoted(name) + "]");
  }
}

// "fields" (set name -> Graph field list) and "metrics" (name -> insights metric list) share
// one shape: non-empty names not starting with '_', each mapped to a non-empty,
// comma-separated list with balanced braces and parentheses.
py::dict check_named_lists(py::handle member, std::string_view member_name,
                           const char* kind) {
  py::dict out;
  auto entry = [&](py::handle name, py::handle list, const std::string& at) {
    if (!PyUnicode_Check(name.ptr())) malformed(at, texts::kNamesText);
    const auto name_text = text_at(name, at);
    if (name_text.empty() || name_text.front() == '_')
      malformed(at, texts::kNamesForm);
    if (!PyUnicode_Check(list.ptr())) malformed(at, texts::kText + type_name(list));
    const auto list_text = text_at(list, at);
    if (list_text.find_first_not_of(" \t\r\n,") == std::string::npos)
      malformed(at, py::str(texts::kEmptyList).format(kind).cast<std::string>());
    if (!balanced(list_text)) malformed(at, texts::kUnbalanced);
    out[exact(name_text)] = exact(list_text);
  };
  for_each_entry(member, "'" + std::string(member_name) + "'", entry);
  return out;
}

py::dict check_lead_map(py::handle member) {
  py::dict out;
  auto entry = [&](py::handle name, py::handle key, const std::string& at) {
    if (!PyUnicode_Check(name.ptr())) malformed(at, texts::kFieldNamesText);
    const py::str text = exact(text_at(name, at));
    if (py::len(text) == 0 || !is_normalised(text))
      malformed(at, texts::kFieldNamesForm);
    out[text] = canonical_or_none(key, at);
  };
  for_each_entry(member, "'lead_map'", entry);
  return out;
}

py::tuple check_heuristics(py::handle member) {
  const std::string path = "'lead_heuristics'";
  if (!is_sequence(member)) malformed(path, texts::kList + type_name(member));
  const py::tuple pairs = members_of(member);
  py::tuple out(pairs.size());
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const std::string at = path + "[" + std::to_string(i) + "]";
    const py::handle pair = PyTuple_GET_ITEM(pairs.ptr(), i);
    if (!is_sequence(pair)) malformed(at, texts::kPair);
    const py::tuple parts = members_of(pair);
    if (parts.size() != 2) malformed(at, texts::kPair);
    const py::handle keywords = PyTuple_GET_ITEM(parts.ptr(), 0);
    if (!is_sequence(keywords)) malformed(at + "[0]", texts::kKeywords);
    const py::tuple words = members_of(keywords);
    if (words.empty()) malformed(at + "[0]", texts::kKeywords);
    py::tuple kept(words.size());
    for (std::size_t j = 0; j < words.size(); ++j) {
      const py::handle word = PyTuple_GET_ITEM(words.ptr(), j);
      const std::string word_at = at + "[0][" + std::to_string(j) + "]";
      if (!PyUnicode_Check(word.ptr())) malformed(word_at, texts::kKeywordsText);
      const py::str text = exact(text_at(word, word_at));
      // An empty keyword would match every name; an upper-case one none.
      if (py::len(text) == 0 || !text.attr("lower")().equal(text))
        malformed(word_at, texts::kKeywordsForm);
      kept[j] = text;
    }
    out[i] = py::make_tuple(kept, canonical_or_none(PyTuple_GET_ITEM(parts.ptr(), 1), at + "[1]"));
  }
  return out;
}

}  // namespace

Tables build_tables(py::handle document, const char* argument) {
  if (!PyDict_Check(document.ptr())) {
    binder::wrong_type(document, "Policy", argument, "a dict");
  }
  Tables tables;
  tables.heuristics = py::tuple(0);
  for (py::handle item : items_of(document)) {
    const py::handle name = PyTuple_GET_ITEM(item.ptr(), 0);
    const py::handle member = PyTuple_GET_ITEM(item.ptr(), 1);
    std::string key;
    if (PyUnicode_Check(name.ptr())) key = text_at(name, quoted(name));
    if (key == kFields) {
      tables.fields = check_named_lists(member, kFields, "field");
    } else if (key == kMetrics) {
      tables.metrics = check_named_lists(member, kMetrics, "metric");
    } else if (key == kLeadMap) {
      tables.lead_map = check_lead_map(member);
    } else if (key == kLeadHeuristics) {
      tables.heuristics = check_heuristics(member);
    } else {
      // A misspelt member would otherwise leave the tables it meant to renew untouched.
      malformed(quoted(name), texts::kUnknownMember);
    }
  }
  tables.lead_map_view = py::module_::import("types").attr("MappingProxyType")(tables.lead_map);
  return tables;
}

py::dict tables_document(const Tables& tables) {
  py::list heuristics;
  for (py::handle pair : tables.heuristics) {
    py::list item;
    item.append(py::list(pair[py::int_(0)]));
    item.append(pair[py::int_(1)]);
    heuristics.append(item);
  }
  py::dict document;
  document[py::str(kFields.data(), kFields.size())] = pyutil::copy_dict(tables.fields);
  document[py::str(kMetrics.data(), kMetrics.size())] = pyutil::copy_dict(tables.metrics);
  document[py::str(kLeadMap.data(), kLeadMap.size())] = pyutil::copy_dict(tables.lead_map);
  document[py::str(kLeadHeuristics.data(), kLeadHeuristics.size())] = heuristics;
  return document;
}

}  // namespace corvane::policy
