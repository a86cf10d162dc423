// corvane.policy: the renewable tables the library reads at each use (named Graph field
// sets, the Lead Ads exact map and keyword heuristics), with a baseline always in force.
//
// Policy and current() are plain CPython objects rather than pybind11 bindings: they are
// read once per field set and once per Lead Ads field name, and a pybind11 call costs
// several times the look-up it serves.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>

#include "modules/policy/tables.hpp"
#include "modules/policy/texts.hpp"
#include "py/binder.hpp"
#include "py/pyclass.hpp"

namespace py = pybind11;
using corvane::policy::Tables;

namespace {

using corvane::pyutil::guarded;

// One policy: validated tables that never change after construction.
struct PolicyObject {
  PyObject_HEAD
  Tables* tables;  // owned; set by tp_new before the object is handed out
};

// The policy in force and the baseline. Readers take `current` with the GIL held and keep
// their own reference, so a swap is one pointer assignment: a reader has either the old
// policy or the new one, whole. Deliberately never freed: the module lives until the process
// ends, and dropping Python objects during interpreter teardown gains nothing.
struct State {
  py::object type;  // the Policy type
  py::object baseline;
  py::object current;
};
State* state = nullptr;

const Tables& tables_of(PyObject* self) {
  return *reinterpret_cast<PolicyObject*>(self)->tables;
}

bool is_policy(py::handle value) {
  return PyObject_TypeCheck(value.ptr(), reinterpret_cast<PyTypeObject*>(state->type.ptr()));
}

py::object new_policy(PyTypeObject* type, py::handle document, const char* argument) {
  auto tables = std::make_unique<Tables>(corvane::policy::build_tables(document, argument));
  auto self = corvane::policy::owned(type->tp_alloc(type, 0));
  reinterpret_cast<PolicyObject*>(self.ptr())->tables = tables.release();
  return self;
}

PyObject* policy_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", nullptr};
  PyObject* data = nullptr;  // borrowed from args
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Policy", const_cast<char**>(keywords),
                                   &data))
    return nullptr;
  return guarded([&] { return new_policy(type, data, "data"); });
}

void policy_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<PolicyObject*>(self)->tables;
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

constexpr char kFieldsMethod[] = "fields";
constexpr char kMetricsMethod[] = "metrics";

// fields(name) and metrics(name): the list `name` of the policy's `Table`, or None. The tables
// hold exact str keys and are never changed, but `name` may be a str subclass whose
// __hash__/__eq__ runs host code, so the answer is taken as a new reference at once.
template <py::dict Tables::*Table, const char* Method>
PyObject* named_list(PyObject* self, PyObject* name) {
  if (!PyUnicode_Check(name)) {
    return guarded([&]() -> py::object {
      corvane::binder::wrong_type(name, Method, "name", "a str");
    });
  }
  PyObject* found = PyDict_GetItemWithError((tables_of(self).*Table).ptr(), name);  // borrowed
  if (found == nullptr) {
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
  }
  return Py_NewRef(found);
}

// lead_map() and lead_heuristics(): the table itself, never changed.
template <auto Table>
PyObject* policy_table(PyObject* self, PyObject*) {
  return Py_NewRef((tables_of(self).*Table).ptr());
}

PyObject* policy_data(PyObject* self, void*) {
  return guarded([&] { return corvane::policy::tables_document(tables_of(self)); });
}

PyObject* policy_repr(PyObject* self) {
  const Tables& t = tables_of(self);
  return PyUnicode_FromFormat(corvane::policy::texts::kRepr, PyDict_Size(t.fields.ptr()),
                              PyDict_Size(t.metrics.ptr()), PyDict_Size(t.lead_map.ptr()),
                              PyTuple_GET_SIZE(t.heuristics.ptr()));
}

PyMethodDef policy_methods[] = {
    {"fields", named_list<&Tables::fields, kFieldsMethod>, METH_O,
     "fields($self, name, /)\n--\n\n"
     "The field list of the set ``name``, or None when this policy has no such set."},
    {"metrics", named_list<&Tables::metrics, kMetricsMethod>, METH_O,
     "metrics($self, name, /)\n--\n\n"
     "The comma-separated insights metric list ``name`` (e.g. \"FB_POST_INSIGHTS\"), or\n"
     "None when this policy has no such list."},
    {"lead_map", policy_table<&Tables::lead_map_view>, METH_NOARGS,
     "lead_map($self, /)\n--\n\n"
     "The exact map, read-only: normalised Lead Ads field name -> canonical key, or None\n"
     "for a name with no canonical key (which also stops the heuristics)."},
    {"lead_heuristics", policy_table<&Tables::heuristics>, METH_NOARGS,
     "lead_heuristics($self, /)\n--\n\n"
     "The keyword heuristics in order, as a tuple of pairs ((keyword, ...), canonical key\n"
     "or None); the first pair with a keyword inside the name wins."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef policy_getset[] = {
    {"data", policy_data, nullptr,
     "A new JSON-shaped dict with the four tables (changing it changes nothing in the "
     "policy).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot policy_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(policy_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(policy_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(policy_repr)},
    {Py_tp_methods, policy_methods},
    {Py_tp_getset, policy_getset},
    {Py_tp_doc, const_cast<char*>(
                    "Policy(data)\n--\n\n"
                    "An immutable set of tables built from a JSON-shaped dict with the members\n"
                    "\"fields\" (set name -> comma-separated Graph field list), \"metrics\"\n"
                    "(list name -> comma-separated insights metric list), \"lead_map\"\n"
                    "(trimmed lower-case Lead Ads field name -> canonical key or None) and\n"
                    "\"lead_heuristics\" (list of [keyword list, canonical key or None], first\n"
                    "match wins). Missing members give empty tables; a non-dict is a\n"
                    "TypeError, an unknown or malformed member a ValueError naming it.")},
    {0, nullptr}};

// No GC support needed: the tables hold only str, None, dicts, tuples and a mapping proxy
// of those, so a policy can never be part of a reference cycle.
PyType_Spec policy_spec = {"corvane.policy.Policy", sizeof(PolicyObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, policy_slots};

PyObject* current(PyObject*, PyObject*) { return Py_NewRef(state->current.ptr()); }

PyMethodDef module_functions[] = {
    {"current", current, METH_NOARGS,
     "current()\n--\n\n"
     "The policy in force: the baseline until ``install`` or ``load`` renews it. Ask anew\n"
     "at each use; the answer may differ from one call to the next."},
    {nullptr, nullptr, 0, nullptr}};

void make_current(py::object policy) {
  // pybind11 assigns first and releases the old reference afterwards, so a finaliser run by
  // that release already sees the new policy.
  state->current = std::move(policy);
}

py::object install(const py::object& policy) {
  if (is_policy(policy)) {
    make_current(policy);
    return policy;
  }
  if (!PyDict_Check(policy.ptr()))
    corvane::binder::wrong_type(policy, "install", "policy",
                                corvane::policy::texts::kPolicyOrDict);
  // Laid over the baseline member by member: a given member replaces the baseline's whole.
  // The members are taken as a snapshot of strong pairs: storing a key runs its __hash__,
  // which may change the host's dict.
  py::dict merged = corvane::policy::tables_document(tables_of(state->baseline.ptr()));
  auto items = corvane::policy::owned<py::list>(PyDict_Items(policy.ptr()));
  for (py::handle item : items)
    merged[PyTuple_GET_ITEM(item.ptr(), 0)] = PyTuple_GET_ITEM(item.ptr(), 1);
  // Checked in full before the swap: a malformed table leaves the current policy in force.
  py::object built =
      new_policy(reinterpret_cast<PyTypeObject*>(state->type.ptr()), merged, "policy");
  make_current(built);
  return built;
}

void reset() { make_current(state->baseline); }

py::object load(const py::object& path) {
  py::object fspath = py::module_::import("os").attr("fspath")(path);
  py::object text = py::module_::import("pathlib")
                        .attr("Path")(fspath)
                        .attr("read_text")(py::arg("encoding") = "utf-8");
  py::object document = py::module_::import("json").attr("loads")(text);
  if (!PyDict_Check(document.ptr()))
    throw py::value_error(
        py::str(corvane::policy::texts::kNotAnObject).format(fspath).cast<std::string>());
  return install(document);
}

}  // namespace

PYBIND11_MODULE(policy, m) {
  py::options options;
  options.disable_function_signatures();
  m.doc() =
      "Renewable tables the library reads at each use.\n\n"
      "``current()`` answers the policy in force: the named Graph field sets behind\n"
      "``corvane.endpoints.Fields``, the insights metric lists the clients ask for and the\n"
      "Lead Ads tables behind ``corvane.leads``.\n"
      "``install`` swaps in a renewed policy (a ``Policy`` or a dict laid over ``BASELINE``\n"
      "member by member), ``load`` installs a JSON file and ``reset`` returns to the\n"
      "baseline. A malformed table is refused with ValueError naming the member, and the\n"
      "policy in force stays. Swaps are atomic for readers.";

  auto type = corvane::policy::owned(PyType_FromSpec(&policy_spec));
  m.attr("Policy") = type;

  m.attr("CANONICAL_KEYS") = py::tuple(py::cast(corvane::policy::kCanonicalKeys));

  py::object baseline = new_policy(reinterpret_cast<PyTypeObject*>(type.ptr()),
                                   corvane::policy::baseline_document(), "data");
  state = new State{type, baseline, baseline};
  // The public copy: a host that changes it changes neither the baseline nor reset().
  m.attr("BASELINE") = corvane::policy::tables_document(tables_of(baseline.ptr()));

  if (PyModule_AddFunctions(m.ptr(), module_functions) != 0) throw py::error_already_set();
  m.def("install", &install, py::arg("policy"),
        "install(policy)\n--\n\n"
        "Makes ``policy`` current and returns it. A dict is laid over ``BASELINE`` member by\n"
        "member (a given \"fields\" replaces the baseline's \"fields\", and so on) and checked;\n"
        "a malformed member is a ValueError naming it, and the policy in force stays.");
  m.def("reset", &reset,
        "reset()\n--\n\n"
        "Returns to the baseline policy.");
  m.def("load", &load, py::arg("path"),
        "load(path)\n--\n\n"
        "Installs the JSON object in the UTF-8 file ``path`` (as ``install`` of a dict) and\n"
        "returns the new policy. A file that is not a JSON object is a ValueError.");
}
