// Reaching corvane.policy through Python.
#include "py/policy_access.hpp"

namespace corvane::pyutil {

py::module_ policy_module() {
  // sys.modules first: cheaper than the import machinery on every look-up.
  PyObject* loaded = PyImport_GetModule(py::str("corvane.policy").ptr());  // new reference
  if (loaded != nullptr) return py::reinterpret_steal<py::module_>(loaded);
  if (PyErr_Occurred()) throw py::error_already_set();
  return py::module_::import("corvane.policy");
}

py::object current_policy() { return policy_module().attr("current")(); }

LeadTables lead_tables() {
  const py::object policy = current_policy();
  return LeadTables{policy.attr("lead_map")(), policy.attr("lead_heuristics")()};
}

}  // namespace corvane::pyutil
