// Reaching corvane.policy from any other extension module. Each module is its own shared
// object, so the policy is always reached through Python: corvane.policy is imported on first
// use (never at import of the caller), and current() is asked anew at every call, so a
// renewed policy takes effect at once and nothing stale is kept.
#pragma once

#include <pybind11/pybind11.h>

namespace corvane::pyutil {

namespace py = pybind11;

// The corvane.policy module (from sys.modules, imported on first use).
py::module_ policy_module();

// corvane.policy.current(), looked up and called anew at each call (tests and hosts may
// replace `current`). A failure of the policy component propagates unchanged.
py::object current_policy();

// The two Lead Ads tables of one policy, read together so that both come from the same
// policy even when another is installed between the two reads.
struct LeadTables {
  // policy.lead_map(): a read-only mapping, normalised field name -> canonical key or None.
  // Look names up through the mapping protocol (PyObject_GetItem, catching KeyError, or
  // PySequence_Contains first): a Policy answers a types.MappingProxyType, not a dict.
  py::object exact;
  // policy.lead_heuristics(): a sequence of (keywords, canonical key or None) pairs; the
  // baseline's is a tuple of tuples.
  py::object heuristics;
};

// current_policy() once, then its lead_map() and lead_heuristics(). Values are passed on
// as the policy answered; checking their shape is the caller's job.
LeadTables lead_tables();

}  // namespace corvane::pyutil
