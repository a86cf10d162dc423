// corvane.policy: the renewable tables the library reads at each use (named Graph field
// sets, the Lead Ads exact map and keyword heuristics), with a baseline always in force.
#include <pybind11/pybind11.h>

#include <string>

#include "policy_tables.hpp"
#include "py/text_args.hpp"

namespace py = pybind11;
using corvane::policy::Tables;

namespace {

// One immutable policy: validated tables that never change after construction.
class Policy {
 public:
  explicit Policy(const py::object& data) : tables_(corvane::policy::build_tables(data, "data")) {}

  py::dict data() const { return corvane::policy::tables_document(tables_); }

  py::object fields(const py::object& name) const {
    corvane::pyutil::text_arg(name, "Policy.fields", "name");
    PyObject* found = PyDict_GetItemWithError(tables_.fields.ptr(), name.ptr());  // borrowed
    if (found == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      return py::none();
    }
    return py::reinterpret_borrow<py::object>(found);
  }

  py::object lead_map() const { return tables_.lead_map_view; }
  py::tuple lead_heuristics() const { return tables_.heuristics; }

  std::string repr() const {
    return "<corvane.policy.Policy: " + std::to_string(py::len(tables_.fields)) +
           " field sets, " + std::to_string(py::len(tables_.lead_map)) + " lead names, " +
           std::to_string(py::len(tables_.heuristics)) + " heuristics>";
  }

 private:
  Tables tables_;
};

// The policy in force and the baseline. Readers take `current` with the GIL held and keep
// their own reference, so a swap is one pointer assignment: a reader has either the old
// policy or the new one, whole. Deliberately never freed: the module lives until the
// process ends, and dropping Python objects during interpreter teardown gains nothing.
struct State {
  py::object baseline;
  py::object current;
};
State* state = nullptr;

py::object current() { return state->current; }

void make_current(py::object policy) {
  // pybind11 assigns first and releases the old reference afterwards, so a finaliser run by
  // that release already sees the new policy.
  state->current = std::move(policy);
}

py::object install(const py::object& policy) {
  if (py::isinstance<Policy>(policy)) {
    make_current(policy);
    return policy;
  }
  if (!PyDict_Check(policy.ptr()))
    corvane::pyutil::raise_arg_type("install", "policy", "a Policy or a dict", policy);
  // Laid over the baseline member by member: a given member replaces the baseline's whole.
  py::dict merged = state->baseline.cast<const Policy&>().data();
  for (auto [name, member] : py::reinterpret_borrow<py::dict>(policy)) merged[name] = member;
  py::object built = py::cast(Policy(merged));  // validates; raises before any swap
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
    throw py::value_error("load: the policy file " + py::repr(fspath).cast<std::string>() +
                          " does not hold a JSON object");
  return install(document);
}

}  // namespace

PYBIND11_MODULE(policy, m) {
  py::options options;
  options.disable_function_signatures();
  m.doc() =
      "Renewable tables the library reads at each use.\n\n"
      "``current()`` answers the policy in force: the named Graph field sets behind\n"
      "``corvane.endpoints.Fields`` and the Lead Ads tables behind ``corvane.leads``.\n"
      "``install`` swaps in a renewed policy (a ``Policy`` or a dict laid over ``BASELINE``\n"
      "member by member), ``load`` installs a JSON file and ``reset`` returns to the\n"
      "baseline. A malformed table is refused with ValueError naming the member, and the\n"
      "policy in force stays. Swaps are atomic for readers.";

  py::class_<Policy>(m, "Policy",
                     "Policy(data)\n--\n\n"
                     "An immutable set of tables built from a JSON-shaped dict with the members\n"
                     "\"fields\" (set name -> comma-separated Graph field list), \"lead_map\"\n"
                     "(trimmed lower-case Lead Ads field name -> canonical key or None) and\n"
                     "\"lead_heuristics\" (list of [keyword list, canonical key or None], first\n"
                     "match wins). Missing members give empty tables; unknown or malformed\n"
                     "members are a ValueError naming them.")
      .def(py::init<const py::object&>(), py::arg("data"),
           "__init__(self, data)\n--\n\n"
           "Checks ``data`` and builds the tables; a non-dict is a TypeError, a malformed\n"
           "member a ValueError naming it.")
      .def_property_readonly("data", &Policy::data,
                             "A new JSON-shaped dict with the three tables (changing it changes "
                             "nothing in the policy).")
      .def("fields", &Policy::fields, py::arg("name"),
           "fields(self, name)\n--\n\n"
           "The field list of the set ``name``, or None when this policy has no such set.")
      .def("lead_map", &Policy::lead_map,
           "lead_map(self)\n--\n\n"
           "The exact map, read-only: normalised Lead Ads field name -> canonical key, or None\n"
           "for a name with no canonical key (which also stops the heuristics).")
      .def("lead_heuristics", &Policy::lead_heuristics,
           "lead_heuristics(self)\n--\n\n"
           "The keyword heuristics in order, as a tuple of pairs ((keyword, ...), canonical key\n"
           "or None); the first pair with a keyword inside the name wins.")
      .def("__repr__", &Policy::repr);

  py::tuple canonical(corvane::policy::kCanonicalKeys.size());
  for (std::size_t i = 0; i < canonical.size(); ++i) {
    const auto key = corvane::policy::kCanonicalKeys[i];
    canonical[i] = py::str(key.data(), key.size());
  }
  m.attr("CANONICAL_KEYS") = canonical;

  const py::dict baseline_document = corvane::policy::baseline_document();
  py::object baseline = py::cast(Policy(baseline_document));
  state = new State{baseline, baseline};
  // The public copy: a host that changes it changes neither the baseline nor reset().
  m.attr("BASELINE") = baseline.cast<const Policy&>().data();

  m.def("current", &current,
        "current()\n--\n\n"
        "The policy in force: the baseline until ``install`` or ``load`` renews it. Ask anew\n"
        "at each use; the answer may differ from one call to the next.");
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
