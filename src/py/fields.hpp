// Named Graph field sets and insights metric lists, looked up exactly as `corvane.endpoints.Fields.NAME` does, for C++
// callers that should not go through Python attribute access on Fields. Nothing is cached:
// every look-up asks corvane.policy.current() anew, so a renewed policy applies at once.
#pragma once

#include <string_view>

#include <pybind11/pybind11.h>

namespace corvane::pyutil {

namespace py = pybind11;

// The field list of the set `name` (e.g. field_set("FB_PAGE")).
// - A name starting with "_" raises AttributeError(name) without asking the policy.
// - When current().fields(name) answers None or "", raises
//   AttributeError("Noma'lum maydon to'plami: " + name).
// - A failure of the policy itself propagates unchanged.
// Errors are raised as py::error_already_set with the Python error set.
py::str field_set(std::string_view name);

// The same look-up for a Python str name (what Fields.__getattr__ uses).
py::str field_set(const py::str& name);

// The insights metric list `name` of the current policy (e.g. metric_list("FB_POST_INSIGHTS")),
// asked anew at every call like field_set. When current().metrics(name) answers None or "",
// raises LookupError("Noma'lum metrikalar ro'yxati: " + name); an answer that is not text is a
// TypeError; a failure of the policy itself propagates unchanged.
py::str metric_list(std::string_view name);

// The names of all available sets: those of BASELINE["fields"] and, when the current
// policy's data has a non-empty "fields", its names too; unique, sorted ascending.
py::list field_set_names();

}  // namespace corvane::pyutil
