// Shared declarations of corvane.http's source files (the module is split by concern:
// session slot, request pipeline, pagination, retry policy).
#pragma once

#include <pybind11/pybind11.h>

#include "bridge/runtime.hpp"
#include "py/pyclass.hpp"

namespace corvane::http {

namespace py = pybind11;
using bridge::Task;

// Module-level objects resolved once at import (kept for the life of the process).
struct ModuleState {
  pyutil::Immortal logger;        // logging.getLogger("corvane")
  pyutil::Immortal json_loads;    // json.loads
  pyutil::Immortal json_dumps;    // json.dumps
  pyutil::Immortal session_type;  // corvane.http._Session
  pyutil::Immortal retry_policy;  // corvane.http.RetryPolicy
  pyutil::Immortal retryable;     // RETRYABLE_STATUSES
};
ModuleState& state();

// Session slot (http_session.cpp).
py::object make_session_class(const char* module);
void add_session_methods(pyutil::ClassBuilder& client);
Task<py::object> ensure_session(py::object self);

// Request pipeline (http_pipeline.cpp).
void add_pipeline_methods(pyutil::ClassBuilder& client);
py::object retry_after_of(py::handle response);
PyObject* retry_after_function(PyObject*, PyObject* args, PyObject* kwargs);

// Pagination (http_paginate.cpp).
void add_paginate_method(pyutil::ClassBuilder& client);

// Retry policy (http_retry.cpp).
py::object make_retry_policy_class(const char* module);

}  // namespace corvane::http
