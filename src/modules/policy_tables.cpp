// Validation of policy documents into immutable tables.
#include "policy_tables.hpp"

#include <algorithm>
#include <string>

namespace corvane::policy {
namespace {

// ValueError "policy member <path>: <problem>".
[[noreturn]] void malformed(const std::string& path, const std::string& problem) {
  throw py::value_error("policy member " + path + ": " + problem);
}

std::string quoted(py::handle key) { return py::repr(key).cast<std::string>(); }

std::string type_name(py::handle value) { return Py_TYPE(value.ptr())->tp_name; }

bool is_sequence(py::handle value) {
  return PyList_Check(value.ptr()) || PyTuple_Check(value.ptr());
}

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
    malformed(path, "must be a canonical lead key or None, not " + type_name(value));
  const auto key = value.cast<std::string>();
  if (!is_canonical(key)) malformed(path, quoted(value) + " is not a canonical lead key");
  return py::reinterpret_borrow<py::object>(value);
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

py::dict check_fields(py::handle member) {
  const std::string path = "'fields'";
  if (!PyDict_Check(member.ptr())) malformed(path, "must be a dict, not " + type_name(member));
  py::dict out;
  for (auto [name, list] : py::reinterpret_borrow<py::dict>(member)) {
    const std::string at = path + "[" + quoted(name) + "]";
    if (!PyUnicode_Check(name.ptr())) malformed(at, "set names must be str");
    const auto name_text = name.cast<std::string>();
    if (name_text.empty() || name_text.front() == '_')
      malformed(at, "set names must be non-empty and must not start with '_'");
    if (!PyUnicode_Check(list.ptr())) malformed(at, "must be a str, not " + type_name(list));
    const auto list_text = list.cast<std::string>();
    if (list_text.find_first_not_of(" \t\r\n,") == std::string::npos)
      malformed(at, "the field list is empty");
    if (!balanced(list_text)) malformed(at, "unbalanced braces or parentheses");
    out[name] = list;
  }
  return out;
}

py::dict check_lead_map(py::handle member) {
  const std::string path = "'lead_map'";
  if (!PyDict_Check(member.ptr())) malformed(path, "must be a dict, not " + type_name(member));
  py::dict out;
  for (auto [name, key] : py::reinterpret_borrow<py::dict>(member)) {
    const std::string at = path + "[" + quoted(name) + "]";
    if (!PyUnicode_Check(name.ptr())) malformed(at, "field names must be str");
    const auto text = py::reinterpret_borrow<py::str>(name);
    if (py::len(text) == 0 || !is_normalised(text))
      malformed(at, "field names must be non-empty, trimmed and lower case");
    out[name] = canonical_or_none(key, at);
  }
  return out;
}

py::tuple check_heuristics(py::handle member) {
  const std::string path = "'lead_heuristics'";
  if (!is_sequence(member)) malformed(path, "must be a list, not " + type_name(member));
  const auto pairs = py::reinterpret_borrow<py::sequence>(member);
  py::tuple out(pairs.size());
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const std::string at = path + "[" + std::to_string(i) + "]";
    const py::object pair = pairs[i];
    if (!is_sequence(pair) || py::len(pair) != 2)
      malformed(at, "must be a pair [keywords, canonical key or None]");
    const py::object keywords = pair[py::int_(0)];
    if (!is_sequence(keywords) || py::len(keywords) == 0)
      malformed(at + "[0]", "must be a non-empty list of keywords");
    const auto words = py::reinterpret_borrow<py::sequence>(keywords);
    py::tuple kept(words.size());
    for (std::size_t j = 0; j < words.size(); ++j) {
      const py::object word = words[j];
      const std::string word_at = at + "[0][" + std::to_string(j) + "]";
      if (!PyUnicode_Check(word.ptr())) malformed(word_at, "keywords must be str");
      const auto text = py::reinterpret_borrow<py::str>(word);
      // An empty keyword would match every name; an upper-case one none.
      if (py::len(text) == 0 || !text.attr("lower")().equal(text))
        malformed(word_at, "keywords must be non-empty and lower case");
      kept[j] = word;
    }
    out[i] = py::make_tuple(kept, canonical_or_none(pair[py::int_(1)], at + "[1]"));
  }
  return out;
}

// A new dict with the same members (py::dict's copy constructor shares the object).
py::dict copy_of(const py::dict& table) {
  PyObject* copy = PyDict_Copy(table.ptr());
  if (copy == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::dict>(copy);
}

}  // namespace

Tables build_tables(py::handle document, const char* argument) {
  if (!PyDict_Check(document.ptr())) {
    PyErr_Format(PyExc_TypeError, "Policy: `%s` must be a dict, not %s", argument,
                 Py_TYPE(document.ptr())->tp_name);
    throw py::error_already_set();
  }
  Tables tables;
  tables.heuristics = py::tuple(0);
  for (auto [name, member] : py::reinterpret_borrow<py::dict>(document)) {
    const std::string key = PyUnicode_Check(name.ptr()) ? name.cast<std::string>() : "";
    if (key == kFields) {
      tables.fields = check_fields(member);
    } else if (key == kLeadMap) {
      tables.lead_map = check_lead_map(member);
    } else if (key == kLeadHeuristics) {
      tables.heuristics = check_heuristics(member);
    } else {
      // A misspelt member would otherwise leave the tables it meant to renew untouched.
      malformed(quoted(name), "unknown member (expected 'fields', 'lead_map' or "
                              "'lead_heuristics')");
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
  document[py::str(kFields.data(), kFields.size())] = copy_of(tables.fields);
  document[py::str(kLeadMap.data(), kLeadMap.size())] = copy_of(tables.lead_map);
  document[py::str(kLeadHeuristics.data(), kLeadHeuristics.size())] = heuristics;
  return document;
}

}  // namespace corvane::policy
