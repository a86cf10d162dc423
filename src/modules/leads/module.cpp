// corvane.leads: a Lead Ads lead's field_data mapped to canonical CRM fields.
#include <string>

#include "modules/leads/lead.hpp"
#include "py/binder.hpp"
#include "py/fast_lookup.hpp"
#include "py/names.hpp"
#include "py/policy_access.hpp"
#include "py/values.hpp"

namespace py = pybind11;

namespace corvane::leads {
namespace {

using binder::Args;

constexpr const char* kModuleDoc = R"doc(Lead Ads answers mapped to canonical CRM fields.

normalize(lead["field_data"]) maps each question to one of fourteen canonical fields of
NormalizedLead (full_name, email, phone, ...) in two stages: the exact map of known question
names, then keyword heuristics on the name. Both tables are read from corvane.policy at each
question name, so renewed tables apply at once. Answers that map to no field are kept in
``custom`` under their raw question names: no answer is ever lost.
)doc";

const char* const kLeadDoc =
    "NormalizedLead(full_name=None, first_name=None, last_name=None, email=None, phone=None, "
    "company=None, job_title=None, city=None, state=None, country=None, zip=None, address=None, "
    "birth_date=None, gender=None, custom={})\n--\n\n"
    "A lead's answers under canonical CRM keys (see normalize).\n\n"
    "A plain mutable record with exactly these fifteen fields, compared by value. custom\n"
    "defaults to a new empty dict per record; as_dict() gives the CRM payload.";

using pyutil::name;

[[noreturn]] void entry_type_error(Py_ssize_t index, const char* what, const char* wanted,
                                   py::handle found) {
  PyErr_Format(PyExc_TypeError, "normalize: field_data[%zd]%s must be %s, not %s", index, what,
               wanted, Py_TYPE(found.ptr())->tp_name);
  throw py::error_already_set();
}

void set_item(py::handle dict, py::handle key, py::handle value) {
  if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

// The answers of one question without its null ones, as a new list: the real members of a
// list or tuple (a subclass's __bool__ or __len__ may say anything; its items are read
// through iteration), none of them "None". A null answer is no answer.
py::list answers_of(py::handle values) {
  py::object source = py::reinterpret_borrow<py::object>(values);
  if (!PyList_CheckExact(values.ptr()) && !PyTuple_CheckExact(values.ptr())) {
    source = owned(PySequence_List(values.ptr()));
  }
  py::list answers;
  // Nothing below runs code of the host, so the size read at each step is the real one.
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(source.ptr()); ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(source.ptr(), i);
    if (item != Py_None && PyList_Append(answers.ptr(), item) < 0) throw py::error_already_set();
  }
  return answers;
}

// The question's raw name: its "name", else its "key", else the empty text.
py::object raw_name_of(py::handle entry, Py_ssize_t index) {
  for (py::handle member : {name<"name">(), name<"key">()}) {
    py::object found = pyutil::dict_item(entry, member);
    if (!pyutil::truthy(found)) continue;
    if (!PyUnicode_Check(found.ptr())) {
      entry_type_error(index, member.is(name<"name">()) ? "['name']" : "['key']", "a str", found);
    }
    return found;
  }
  return py::str("");
}

bool empty_text(py::handle value) {
  return value.is_none() || PyUnicode_GET_LENGTH(value.ptr()) == 0;
}

// One question of field_data, folded into `lead`.
void add_answer(py::handle lead, py::handle entry, Py_ssize_t index) {
  if (!PyDict_Check(entry.ptr())) entry_type_error(index, "", "a dict", entry);
  py::object raw_name = raw_name_of(entry, index);
  py::object values = pyutil::dict_item(entry, name<"values">());
  if (!values || (!PyList_Check(values.ptr()) && !PyTuple_Check(values.ptr()))) {
    if (!pyutil::truthy(values)) return;  // no answer, no trace
    entry_type_error(index, "['values']", "a list", values);
  }
  const py::list answers = answers_of(values);
  const Py_ssize_t count = PyList_GET_SIZE(answers.ptr());
  if (count == 0) return;
  // Held: str() of the answer is host code for anything but text.
  const auto first = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(answers.ptr(), 0));
  py::object value = strip_text(pyutil::text_form(first));
  const auto custom = py::reinterpret_borrow<py::object>(Lead::get(lead, kCustom));

  const int field = canonical_field(raw_name);
  if (field < 0) {
    set_item(custom, raw_name, count == 1 ? value : py::object(answers));
    return;
  }
  if (field == kPhone) {
    value = clean_phone(value);
  } else if (field == kEmail) {
    value = lower_text(value);
  }
  // The first question mapped to a field wins; later ones keep their answer in custom.
  if (empty_text(Lead::get(lead, static_cast<std::size_t>(field)))) {
    Lead::set(lead, static_cast<std::size_t>(field), value);
  } else {
    set_item(custom, raw_name, value);
  }
  // Checkboxes and other multiple answers: the field keeps the first, custom keeps them all.
  if (count >= 2) {
    set_item(custom, owned(PyUnicode_Concat(raw_name.ptr(), name<"__all">().ptr())), answers);
  }
}

py::object normalize(py::object, Args args) {
  const py::object field_data = args[0];
  py::object lead = Lead::make_default();
  if (!field_data.is_none()) {
    // The size is read again at each step and each entry held: the host's code (a key's
    // __hash__, an answer's __str__) runs in between and may change the list.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(field_data.ptr()); ++i) {
      add_answer(lead, py::reinterpret_borrow<py::object>(
                           PySequence_Fast_GET_ITEM(field_data.ptr(), i)), i);
    }
  }
  if (empty_text(Lead::get(lead, kFullName))) {
    py::handle first = Lead::get(lead, kFirstName);
    py::handle last = Lead::get(lead, kLastName);
    if (!empty_text(first) && !empty_text(last)) {
      Lead::set(lead, kFullName,
                owned(PyUnicode_Join(name<" ">().ptr(), py::make_tuple(first, last).ptr())));
    } else if (!empty_text(first) || !empty_text(last)) {
      Lead::set(lead, kFullName, py::reinterpret_borrow<py::object>(empty_text(first) ? last
                                                                                       : first));
    }
  }
  return lead;
}

// NormalizedLead.as_dict: the CRM payload, empty fields left out, custom last when not empty.
py::object lead_as_dict(py::object self, Args) {
  py::dict out;
  for (std::size_t i = 0; i < kCanonicalCount; ++i) {
    py::handle value = Lead::get(self, i);
    if (!empty_text(value)) out[LeadShape::kFields[i].name] = value;
  }
  // Held: copying a dict subclass runs its own code, which may assign `custom` anew.
  const auto custom = py::reinterpret_borrow<py::object>(Lead::get(self, kCustom));
  if (PyDict_GET_SIZE(custom.ptr()) > 0) out["custom"] = pyutil::copy_dict(custom);
  return std::move(out);
}

const binder::Operation kLeadMethods[] = {
    {"as_dict", {},
     "A new dict for a CRM payload: the canonical fields that are neither None nor empty, in\n"
     "declaration order, then \"custom\" (a copy) when it is not empty.",
     nullptr, lead_as_dict, "dict[str, Any]"},
};

// field_data: a list or tuple of entries, or None for none.
py::object field_data_kind(py::handle value, const char* operation, const char* parameter) {
  if (!value.is_none() && !PyList_Check(value.ptr()) && !PyTuple_Check(value.ptr())) {
    binder::wrong_type(value, operation, parameter, "a list or None");
  }
  return py::reinterpret_borrow<py::object>(value);
}

const binder::Kind kFieldData{"Sequence[FieldDataItem | dict[str, Any]] | None", field_data_kind};

py::object tables_now(py::object, Args) {
  const pyutil::LeadTables tables = pyutil::lead_tables();
  return py::make_tuple(tables.exact, tables.heuristics);
}

// Both read None as the empty text.
py::object canonical_key_now(py::object, Args args) {
  py::object key;
  const int field = canonical_field(args[0].is_none() ? py::str("") : args[0], &key);
  return field < 0 ? py::object(py::none()) : key;
}

py::object clean_phone_now(py::object, Args args) {
  return clean_phone(args[0].is_none() ? py::str("") : args[0]);
}

const binder::Operation kFunctions[] = {
    {"normalize",
     {{"field_data", &kFieldData}},
     "Maps a lead's field_data (a list of {\"name\", \"values\"} dicts, or None) to a new\n"
     "NormalizedLead.\n\n"
     "Each question's name (else its \"key\") is trimmed and lower-cased and looked up in the\n"
     "current policy's exact map, then its keyword heuristics. Null answers are dropped and a\n"
     "question left with no answers is skipped. The first answer, trimmed, fills the field\n"
     "(phones cleaned to digits and a leading \"+\", e-mails lower-cased) unless an earlier\n"
     "question filled it, in which case it goes to custom under the raw name; multiple\n"
     "answers also go to custom under \"<name>__all\". Questions without a field go to custom\n"
     "(the text, or the list of several answers). full_name is joined from first_name and\n"
     "last_name when absent. TypeError for field_data or an entry of the wrong type; no\n"
     "partial record is returned.",
     nullptr, normalize, "NormalizedLead"},
    {"_tables", {}, "The pair (exact map, heuristics) of the current policy.", nullptr,
     tables_now, "tuple[Any, Any]"},
    {"_canonical_key", {{"raw_name", &binder::kTextOrNone}},
     "The canonical field name for a raw question name, or None.", nullptr, canonical_key_now,
     "str | None"},
    {"_clean_phone", {{"value", &binder::kTextOrNone}},
     "value without the characters _PHONE_CLEAN_RE matches, keeping one leading \"+\" only.",
     nullptr, clean_phone_now, "str"},
};

}  // namespace

const char* const LeadShape::kDoc = kLeadDoc;
PyMethodDef* LeadShape::extra_methods() {
  static PyMethodDef* const methods = binder::type_methods<kLeadMethods>("NormalizedLead");
  return methods;
}

}  // namespace corvane::leads

PYBIND11_MODULE(leads, m) {
  using namespace corvane::leads;
  m.doc() = kModuleDoc;
  Lead::add_to(m, "NormalizedLead");
  corvane::binder::add_functions<kFunctions>(m);
  // The same cleaning for hosts that work with patterns: digits of every script and "+" stay.
  m.attr("_PHONE_CLEAN_RE") = py::module_::import("re").attr("compile")(R"([^\d+])");
  // The functions' table as data: a test holds the stub to it.
  py::dict operations;
  operations[""] = corvane::binder::describe<kFunctions>();
  operations["NormalizedLead"] = corvane::binder::describe<kLeadMethods>();
  m.attr("_OPERATIONS") = operations;
}
