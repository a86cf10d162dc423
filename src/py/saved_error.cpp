// Taking the current error off the interpreter's indicator and putting it back.
#include "py/saved_error.hpp"

namespace corvane::pyutil {

PyObject* take_raised_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
  PyErr_Fetch(&type, &value, &trace);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &trace);
  if (trace != nullptr && value != nullptr) PyException_SetTraceback(value, trace);
  Py_XDECREF(type);
  Py_XDECREF(trace);
  return value;
#endif
}

void set_raised_exception(PyObject* exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  if (exc == nullptr) {
    PyErr_Clear();
    return;
  }
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

void SavedError::restore() noexcept {
  // Whatever the protected code left behind must not silently take the saved error's place.
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
  if (exc_ != nullptr) set_raised_exception(release());
}

}  // namespace corvane::pyutil
