// Driver: steps a root Task for the event loop (see driver.hpp for the theory of operation).
#include "bridge/driver.hpp"

#include "py/pyclass.hpp"
#include "py/saved_error.hpp"

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

// Sets the error the loop sees when a coroutine that already ended is driven again.
PySendResult raise_finished_error() {
  PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
  return PYGEN_ERROR;
}

// A StopIteration leaving a frame would read as a return to whoever drives the coroutine (an
// asyncio task would then never finish): like a native coroutine, it becomes a RuntimeError
// caused by it. StopAsyncIteration passes unchanged, as it does out of a native coroutine (an
// __anext__ implemented as an operation ends the iteration with it).
void replace_stop_iteration() {
  if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
  PyObject* stop = pyutil::take_raised_exception();
  PyObject* error = PyObject_CallFunction(PyExc_RuntimeError, "s", "coroutine raised StopIteration");
  if (error == nullptr) {
    Py_DECREF(stop);
    return;  // the failure to build it (MemoryError) is what is raised
  }
  PyException_SetCause(error, Py_NewRef(stop));
  PyException_SetContext(error, stop);
  pyutil::set_raised_exception(error);
}

thread_local detail::RootList* t_current_roots = nullptr;

// Makes `roots` the list Rooted locals register with while this driver's frames run.
class CurrentRoots {
 public:
  explicit CurrentRoots(detail::RootList* roots) noexcept
      : saved_(std::exchange(t_current_roots, roots)) {}
  ~CurrentRoots() { t_current_roots = saved_; }
  CurrentRoots(const CurrentRoots&) = delete;
  CurrentRoots& operator=(const CurrentRoots&) = delete;

 private:
  detail::RootList* saved_;
};

// Marks the driver as running for the scope: a send/throw/close arriving meanwhile (from code
// the step runs, a finaliser, a destructor) is refused as it is by a native coroutine.
class RunningScope {
 public:
  explicit RunningScope(bool& running) noexcept : running_(running) { running_ = true; }
  ~RunningScope() { running_ = false; }
  RunningScope(const RunningScope&) = delete;
  RunningScope& operator=(const RunningScope&) = delete;

 private:
  bool& running_;
};

PySendResult raise_already_executing() {
  PyErr_SetString(PyExc_ValueError, "coroutine already executing");
  return PYGEN_ERROR;
}

}  // namespace

namespace detail {
RootList* current_roots() noexcept { return t_current_roots; }
}  // namespace detail

PyErrorState PyErrorState::fetch() {
  PyErrorState state;
  state.exc = py::reinterpret_steal<py::object>(pyutil::take_raised_exception());
  return state;
}

void PyErrorState::raise() {
  pyutil::set_raised_exception(exc.release().ptr());
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
  destroy_frames();
  pyutil::SavedError saved;
  parked_ = py::object();
  yielded_ = py::object();
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
  awaiter_ = nullptr;
  waiting_ = {};
  pyutil::SavedError saved;
  parked_ = py::object();
}

// Frames hold Python references; destroying them runs their destructors, which may run Python
// code: it must neither disturb an error being raised around us nor re-enter this coroutine.
void Driver::destroy_frames() noexcept {
  if (!root_.handle()) return;
  pyutil::SavedError saved;
  const bool was_running = std::exchange(running_, true);
  root_.reset();  // no catch block runs: frames clean up by RAII alone
  running_ = was_running;
}

PySendResult Driver::resume(std::coroutine_handle<> from, PyObject** result) {
  {
    RunningScope running(running_);
    CurrentRoots roots(&roots_);
    from.resume();
  }
  if (!root_.handle().done()) {
    *result = yielded_.release().ptr();
    return PYGEN_NEXT;
  }
  finish();
  try {
    py::object value = root_.take_result();
    destroy_frames();
    *result = value.release().ptr();
    return PYGEN_RETURN;
  } catch (...) {
    pyutil::set_error_from_current_exception();
  }
  replace_stop_iteration();
  destroy_frames();
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
  if (r == PYGEN_RETURN) {
    awaiter->complete(py::reinterpret_steal<py::object>(value));
  } else {
    awaiter->fail(PyErrorState::fetch());
  }
  {
    pyutil::SavedError saved;  // dropping the iterator may run Python code
    parked_ = py::object();
  }
  return resume(waiting, result);
}

// Thrown into a coroutine that never ran: it ends, and the error is raised. Up to 3.11 a native
// coroutine runs its frame to raise it there, so a StopIteration becomes RuntimeError; from
// 3.12 on it is closed without running and the error passes as it is. Thrown into one that
// ended: refused, as by a native coroutine.
PySendResult Driver::fail_finished(PyObject* exc) {
  if (finished_) return raise_finished_error();
  started_ = true;
  finish();
  destroy_frames();
  pyutil::set_raised_exception(Py_NewRef(exc));
#if PY_VERSION_HEX < 0x030C0000
  replace_stop_iteration();
#endif
  return PYGEN_ERROR;
}

PySendResult Driver::send(PyObject* value, PyObject** result) {
  *result = nullptr;
  if (running_) return raise_already_executing();
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
  PySendResult r;
  {
    RunningScope running(running_);
    r = PyIter_Send(it.ptr(), value, &out);
  }
  return forward_outcome(r, out, result);
}

PySendResult Driver::throw_in(PyObject* exc, PyObject** result) {
  *result = nullptr;
  if (running_) return raise_already_executing();
  if (!started_ || finished_) return fail_finished(exc);
  py::object it = parked_;
  PyObject* throw_method = nullptr;
  if (lookup_optional(it.ptr(), "throw", &throw_method) < 0) {
    return forward_outcome(PYGEN_ERROR, nullptr, result);
  }
  if (throw_method == nullptr) {
    // A plain iterator cannot take the error: it surfaces at the await point itself.
    pyutil::set_raised_exception(Py_NewRef(exc));
    return forward_outcome(PYGEN_ERROR, nullptr, result);
  }
  PyObject* out = nullptr;
  {
    RunningScope running(running_);
    out = PyObject_CallOneArg(throw_method, exc);
  }
  Py_DECREF(throw_method);
  if (out != nullptr) return forward_outcome(PYGEN_NEXT, out, result);
  if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
    // The awaited iterator returned while handling the error: its value is the await's result.
    PyErrorState stop = PyErrorState::fetch();
    PyObject* value = PyObject_GetAttrString(stop.exc.ptr(), "value");
    if (value == nullptr) return forward_outcome(PYGEN_ERROR, nullptr, result);
    return forward_outcome(PYGEN_RETURN, value, result);
  }
  return forward_outcome(PYGEN_ERROR, nullptr, result);
}

int Driver::close() {
  if (running_) {
    raise_already_executing();
    return -1;
  }
  if (finished_) return 0;
  int rc = 0;
  if (py::object it = parked_) {
    // The parked iterator stays in place while it closes, so that cr_await still shows it and a
    // re-entrant call meets "already executing", not a missing iterator.
    RunningScope running(running_);
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
  destroy_frames();
  return rc;
}

int Driver::traverse(visitproc visit, void* arg) {
  Py_VISIT(parked_.ptr());
  Py_VISIT(yielded_.ptr());
  auto visit_one = [&](PyObject* obj) -> int {
    Py_VISIT(obj);
    return 0;
  };
  if (int rc = roots_.for_each(visit_one)) return rc;
  if (root_.handle()) return root_.handle().promise().for_each_parameter(visit_one);
  return 0;
}

void Driver::clear() {
  finish();
  pyutil::SavedError saved;
  yielded_ = py::object();
  destroy_frames();
}

}  // namespace corvane::bridge
