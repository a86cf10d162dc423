// Driver: runs a root Task<py::object> on behalf of one Python-visible coroutine object.
//
// Theory of operation. The event loop drives a coroutine object with send(value) and
// throw(exc). The driver resumes the C++ frames until they either finish (the root's value or
// error becomes the coroutine's return or exception) or await a Python awaitable whose
// iterator yields: that iterator is then parked here and the yielded value goes up to the loop
// unchanged. The loop's next send/throw is forwarded to the parked iterator; when it finishes,
// its result (or error) is handed to the awaiting frame, which resumes. Cancellation is the
// loop throwing CancelledError in: it reaches the parked iterator, comes back out as its
// error and unwinds the C++ frames like any Python error. close() and deallocation destroy the
// frames without running catch blocks; all cleanup in frames is RAII and synchronous.
//
// Everything a suspended frame holds is reported by traverse(): the parked iterator, the
// Python parameters of every frame in the chain, and the Rooted locals of the driver's root
// list (see roots.hpp); clear() destroys the frames, which releases them.
#pragma once

#include <Python.h>

#include <coroutine>
#include <memory>

#include "bridge/task.hpp"

namespace corvane::bridge {

// The interface the Python-visible coroutine type talks to. The type exists once per process
// (in corvane.http) while drivers are created by every module, so the type reaches each
// driver's code through this vtable, never through statics of its own module.
class DriverBase {
 public:
  virtual ~DriverBase() = default;
  virtual PySendResult send(PyObject* value, PyObject** result) = 0;
  // `exc` is an exception instance; returns like send.
  virtual PySendResult throw_in(PyObject* exc, PyObject** result) = 0;
  virtual int close() = 0;  // 0, or -1 with an error set
  virtual int traverse(visitproc visit, void* arg) = 0;
  virtual void clear() = 0;
  virtual bool started() const = 0;
  virtual bool finished() const = 0;
  virtual bool running() const = 0;
  virtual PyObject* awaiting() const = 0;  // borrowed; nullptr when nothing is parked
};

class Driver final : public DriverBase {
 public:
  explicit Driver(Task<py::object> root);
  ~Driver() override;

  PySendResult send(PyObject* value, PyObject** result) override;
  PySendResult throw_in(PyObject* exc, PyObject** result) override;
  int close() override;
  int traverse(visitproc visit, void* arg) override;
  void clear() override;
  bool started() const override { return started_; }
  bool finished() const override { return finished_; }
  bool running() const override { return running_; }
  PyObject* awaiting() const override { return parked_.ptr(); }

  // Called from PyAwaiter::await_suspend when an iterator yielded.
  void park(py::object iterator, py::object yielded, PyAwaiter* awaiter,
            std::coroutine_handle<> waiting) noexcept;

 private:
  PySendResult resume(std::coroutine_handle<> from, PyObject** result);
  PySendResult forward_outcome(PySendResult r, PyObject* value, PyObject** result);
  PySendResult fail_finished(PyObject* exc);
  void finish() noexcept;
  void destroy_frames() noexcept;

  // Declared first: destroyed last, after the frames whose Rooted locals it lists.
  detail::RootList roots_;
  Task<py::object> root_;
  py::object parked_;         // the iterator a frame is waiting on
  py::object yielded_;        // the value it yielded, handed to the loop after resume()
  PyAwaiter* awaiter_ = nullptr;
  std::coroutine_handle<> waiting_;
  bool started_ = false;
  bool finished_ = false;
  bool running_ = false;
};

}  // namespace corvane::bridge
