// Driver: steps a root Task for the event loop (see driver.hpp for the theory of operation).
#include "bridge/driver.hpp"

#include "py/pyclass.hpp"

#include <new>
#include <stdexcept>

namespace corvane::bridge {
namespace {

// The iterator behind an awaitable, as `await` finds it.
py::object awaitable_iterator(PyObject* obj) {
  if (PyCoro_CheckExact(obj)) return py::reinterpret_borrow<py::object>(obj);
  if (PyGen_CheckExact(obj)) {
    // A generator-based coroutine (types.coroutine, e.g. asyncio.sleep(0)) awaits as itself.
    auto code = py::reinterpret_steal<py::object>(PyObject_GetAttrString(obj, "gi_code"));
    if (!code) throw py::error_already_set();
    if (PyCode_Check(code.ptr()) &&
        (reinterpret_cast<PyCodeObject*>(code.ptr())->co_flags & CO_ITERABLE_COROUTINE)) return py::reinterpret_borrow<py::object>(obj);
  }
  PyTypeObject* type = Py_TYPE(obj);
  if (type->tp_as_async == nullptr || type->tp_as_async->am_await == nullptr) {
    PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                 type->tp_name);
    throw py::error_already_set();
  }
  auto it = py::reinterpret_steal<py::object>(type->tp_as_async->am_await(obj));
  if (!it) throw py::error_already_set();
  if (PyCoro_CheckExact(it.ptr())) {
    PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
    throw py::error_already_set();
  }
  if (!PyIter_Check(it.ptr())) {
    PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                 Py_TYPE(it.ptr())->tp_name);
    throw py::error_already_set();
  }
  return it;
}

// getattr that tells "no such attribute" (0, *out null) apart from a failure (-1).
int lookup_optional(PyObject* obj, const char* name, PyObject** out) {
  *out = PyObject_GetAttrString(obj, name);
  if (*out != nullptr) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}

// Sets the error the loop sees when a coroutine returns `value` from send/throw.
PySendResult raise_finished_error() {
  PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
  return PYGEN_ERROR;
}

}  // namespace

PyErrorState PyErrorState::fetch() {
  PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  if (trace != nullptr && value != nullptr) PyException_SetTraceback(value, trace);
  PyErrorState state;
  state.type = py::reinterpret_steal<py::object>(type);
  state.value = py::reinterpret_steal<py::object>(value);
  state.trace = py::reinterpret_steal<py::object>(trace);
  return state;
}

void PyErrorState::raise() const {
  PyErr_Restore(py::object(type).release().ptr(), py::object(value).release().ptr(),
                py::object(trace).release().ptr());
  throw py::error_already_set();
}

bool PyAwaiter::await_suspend(std::coroutine_handle<> waiting) {
  // An error here reaches the awaiting frame as if raised at its co_await.
  py::object it = awaitable_iterator(std::exchange(awaitable_, py::object()).ptr());
  // The GC cannot see references held in C++ frames: the awaitable is dropped at once and
  // the iterator kept only while it is parked in the driver, where tp_traverse reaches it.
  PyObject* value = nullptr;
  switch (PyIter_Send(it.ptr(), Py_None, &value)) {
    case PYGEN_NEXT:
      driver_->park(std::move(it), py::reinterpret_steal<py::object>(value), this, waiting);
      return true;
    case PYGEN_RETURN:
      result_ = py::reinterpret_steal<py::object>(value);
      return false;
    case PYGEN_ERROR:
    default:
      error_ = PyErrorState::fetch();
      return false;
  }
}

py::object PyAwaiter::await_resume() {
  if (error_) {
    PyErrorState error = std::move(error_);
    error.raise();
  }
  return std::move(result_);
}

Driver::Driver(Task<py::object> root) : root_(std::move(root)) {
  root_.handle().promise().driver = this;
}

Driver::~Driver() {
  // Frames hold Python references; destroying them may run Python code, which must not
  // disturb an error that is being raised around us.
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  root_.reset();
  parked_ = py::object();
  yielded_ = py::object();
  PyErr_Restore(type, value, trace);
}

void Driver::park(py::object iterator, py::object yielded, PyAwaiter* awaiter,
                  std::coroutine_handle<> waiting) noexcept {
  parked_ = std::move(iterator);
  yielded_ = std::move(yielded);
  awaiter_ = awaiter;
  waiting_ = waiting;
}

void Driver::finish() noexcept {
  finished_ = true;
  parked_ = py::object();
  awaiter_ = nullptr;
  waiting_ = {};
}

PySendResult Driver::resume(std::coroutine_handle<> from, PyObject** result) {
  running_ = true;
  from.resume();
  running_ = false;
  if (!root_.handle().done()) {
    *result = yielded_.release().ptr();
    return PYGEN_NEXT;
  }
  finish();
  try {
    py::object value = root_.take_result();
    root_.reset();
    *result = value.release().ptr();
    return PYGEN_RETURN;
  } catch (...) {
    pyutil::set_error_from_current_exception();
  }
  // The error is set: release the frame without disturbing it.
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  root_.reset();
  PyErr_Restore(type, value, trace);
  *result = nullptr;
  return PYGEN_ERROR;
}

PySendResult Driver::forward_outcome(PySendResult r, PyObject* value, PyObject** result) {
  if (r == PYGEN_NEXT) {
    *result = value;
    return PYGEN_NEXT;
  }
  PyAwaiter* awaiter = std::exchange(awaiter_, nullptr);
  const auto waiting = std::exchange(waiting_, {});
  parked_ = py::object();
  if (r == PYGEN_RETURN) {
    awaiter->complete(py::reinterpret_steal<py::object>(value));
  } else {
    awaiter->fail(PyErrorState::fetch());
  }
  return resume(waiting, result);
}

PySendResult Driver::send(PyObject* value, PyObject** result) {
  *result = nullptr;
  if (running_) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return PYGEN_ERROR;
  }
  if (finished_) return raise_finished_error();
  if (!started_) {
    if (value != Py_None) {
      PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
      return PYGEN_ERROR;
    }
    started_ = true;
    return resume(root_.handle(), result);
  }
  PyObject* out = nullptr;
  py::object it = parked_;  // the parked iterator may be dropped while it runs
  running_ = true;
  const PySendResult r = PyIter_Send(it.ptr(), value, &out);
  running_ = false;
  return forward_outcome(r, out, result);
}

PySendResult Driver::throw_in(PyObject* exc, PyObject** result) {
  *result = nullptr;
  if (running_) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return PYGEN_ERROR;
  }
  if (!started_ || finished_) {
    // Thrown into a coroutine that never ran or already ended: it ends with that error.
    started_ = true;
    finish();
    root_.reset();
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    return PYGEN_ERROR;
  }
  py::object it = parked_;
  PyObject* throw_method = nullptr;
  if (lookup_optional(it.ptr(), "throw", &throw_method) < 0) {
    return forward_outcome(PYGEN_ERROR, nullptr, result);
  }
  if (throw_method == nullptr) {
    // A plain iterator cannot take the error: it surfaces at the await point itself.
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    return forward_outcome(PYGEN_ERROR, nullptr, result);
  }
  running_ = true;
  PyObject* out = PyObject_CallOneArg(throw_method, exc);
  running_ = false;
  Py_DECREF(throw_method);
  if (out != nullptr) return forward_outcome(PYGEN_NEXT, out, result);
  if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
    PyErrorState stop = PyErrorState::fetch();
    PyObject* value = PyObject_GetAttrString(stop.value.ptr(), "value");
    if (value == nullptr) return forward_outcome(PYGEN_ERROR, nullptr, result);
    return forward_outcome(PYGEN_RETURN, value, result);
  }
  return forward_outcome(PYGEN_ERROR, nullptr, result);
}

int Driver::close() {
  if (running_) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return -1;
  }
  int rc = 0;
  if (py::object it = std::move(parked_)) {
    PyObject* close_method = nullptr;
    if (lookup_optional(it.ptr(), "close", &close_method) < 0) {
      rc = -1;
    } else if (close_method != nullptr) {
      PyObject* out = PyObject_CallNoArgs(close_method);
      Py_DECREF(close_method);
      if (out == nullptr) rc = -1;
      Py_XDECREF(out);
    }
  }
  started_ = true;
  finish();
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  root_.reset();  // no catch block runs: frames clean up by RAII alone
  PyErr_Restore(type, value, trace);
  return rc;
}

int Driver::traverse(visitproc visit, void* arg) {
  Py_VISIT(parked_.ptr());
  Py_VISIT(yielded_.ptr());
  return 0;
}

void Driver::clear() {
  finish();
  yielded_ = py::object();
  root_.reset();
}

}  // namespace corvane::bridge
