// Releases an HTTP response's connection when the scope that holds it ends, however it ends.
// Kept in a coroutine frame across the wait for the body, the response is a root of the frame.
#pragma once

#include <Python.h>

#include "bridge/roots.hpp"
#include "py/saved_error.hpp"

namespace corvane::pyutil {

struct ReleaseOnExit {
  bridge::Rooted<> response;
  ~ReleaseOnExit() {
    if (!response) return;
    // release() runs Python while the error that ends the frame may be on the indicator.
    SavedError saved;
    PyObject* out = PyObject_CallMethod(response.ptr(), "release", nullptr);
    // No object named: its repr would quote the URL, secrets included.
    if (out == nullptr) PyErr_WriteUnraisable(nullptr);
    Py_XDECREF(out);
  }
};

}  // namespace corvane::pyutil
