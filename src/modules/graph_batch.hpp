// Graph batch requests, shared by the Graph clients (Facebook, Instagram in the Facebook-login
// mode): many requests in calls of at most 50 operations, each operation's answer or error in
// its own slot. Like graph_client.cpp, each extension module links its own copy of this file.
#pragma once

#include <pybind11/pybind11.h>

#include "bridge/runtime.hpp"
#include "py/binder.hpp"
#include "py/pyclass.hpp"

namespace corvane::graph {

namespace py = pybind11;

// `batch(requests, token)`, the group of a Graph client class.
extern const binder::MethodGroup add_batch_methods;

// The checked form of `requests` for a batch (a list of dicts, see the docstring of `batch`):
// TypeError or ValueError, named after `function`, for anything malformed, and ValueError for a
// reference that no split into calls of at most 50 can keep inside one call. Nothing is sent.
struct BatchPlan {
  py::list wire;     // each operation as the platform reads it (method, relative_url, ...)
  py::list meta;     // per operation: (relative_url, token or None, omit, names referred to)
  py::list sizes;    // the number of operations of each call, in order
};
BatchPlan plan_batch(py::handle self, py::handle requests, const char* function);

// The answers of a planned batch, in the order of its operations: each the decoded JSON of its
// answer, the corvane.errors exception the same request alone would have raised (not raised),
// a NotRunError for an operation the platform did not run, or None for an answer omitted on
// success. `token` is the batch's own token, the fallback of every operation without one.
bridge::Task<py::object> run_batch(py::object self, py::object token, py::list wire,
                                   py::list meta, py::list sizes);

// usage: each operation's headers are recorded here. Receives the client, the token the
// operation ran with (its own, else the batch's; None when neither was given) and its answer's
// headers as a dict {name: value}; records nothing yet.
void record_operation_usage(py::handle client, py::handle token, const py::dict& headers);

}  // namespace corvane::graph
