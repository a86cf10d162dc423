// PyAwaiter: what `co_await python_object` becomes inside a Task.
#pragma once

#include <coroutine>

#include <pybind11/pybind11.h>

#include "bridge/task.hpp"

namespace corvane::bridge {

namespace py = pybind11;

// An error taken off the interpreter's indicator (one exception instance), to be raised again
// later.
struct PyErrorState {
  py::object exc;
  static PyErrorState fetch();  // takes (and clears) the current error
  [[noreturn]] void raise();    // sets it again and throws py::error_already_set
  explicit operator bool() const { return static_cast<bool>(exc); }
};

// Awaiting a Python awaitable: its iterator is sent None once; a value it yields is a real
// suspension (the driver parks the iterator and passes the value up to the event loop), a
// return or an error completes at once without suspending.
class PyAwaiter {
 public:
  PyAwaiter(py::object awaitable, Driver* driver) noexcept
      : awaitable_(std::move(awaitable)), driver_(driver) {}

  bool await_ready() const noexcept { return false; }
  bool await_suspend(std::coroutine_handle<> waiting);
  py::object await_resume();

  // Called by the driver when the parked iterator finishes.
  void complete(py::object result) noexcept { result_ = std::move(result); }
  void fail(PyErrorState error) noexcept { error_ = std::move(error); }

 private:
  py::object awaitable_;
  Driver* driver_;
  py::object result_;
  PyErrorState error_;
};

// An awaitable given as an rvalue (a call's result, `std::move(local)`) is taken over, so that
// no reference to it stays behind in the frame while it is awaited.
template <class U>
  requires std::derived_from<std::remove_cvref_t<U>, py::handle>
PyAwaiter detail::PromiseBase::await_transform(U&& awaitable) {
  if constexpr (std::is_rvalue_reference_v<U&&> &&
                std::derived_from<std::remove_cvref_t<U>, py::object> &&
                !std::is_const_v<std::remove_reference_t<U>>) {
    return PyAwaiter(py::reinterpret_steal<py::object>(awaitable.release()), driver);
  } else {
    return PyAwaiter(py::reinterpret_borrow<py::object>(awaitable), driver);
  }
}

}  // namespace corvane::bridge
