// The error on the interpreter's indicator, taken off and put back as one exception object.
//
// Python 3.12 keeps a raised error as a single normalised exception instance
// (PyErr_GetRaisedException/PyErr_SetRaisedException) and deprecates the (type, value,
// traceback) triple of PyErr_Fetch/PyErr_Restore. These helpers use the new calls where they
// exist and emulate them on 3.10 and 3.11, so the rest of the code holds one object either way.
#pragma once

#include <Python.h>

namespace corvane::pyutil {

// Takes (and clears) the current error: a new reference to a normalised exception instance,
// with its traceback attached, or null when no error is set.
PyObject* take_raised_exception() noexcept;

// Sets `exc` (an exception instance, or null for nothing) as the current error; steals it.
void set_raised_exception(PyObject* exc) noexcept;

// Keeps whatever error is being raised safe while code that may run Python (a destructor, a
// release() call, a finaliser) runs, and puts it back at scope exit. An error the protected code
// leaves behind is reported as unraisable rather than silently replacing the saved one.
class SavedError {
 public:
  SavedError() noexcept : exc_(take_raised_exception()) {}
  ~SavedError() { restore(); }
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;

  // Puts the saved error back now (once).
  void restore() noexcept;
  // The saved error (new reference, or null), which the destructor will then not restore.
  PyObject* release() noexcept {
    PyObject* exc = exc_;
    exc_ = nullptr;
    return exc;
  }

 private:
  PyObject* exc_;
};

}  // namespace corvane::pyutil
