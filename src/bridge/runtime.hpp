// The bridge's public face for module code: turning a Task into a Python coroutine object,
// and the small awaitable helpers every client uses.
#pragma once

#include <pybind11/pybind11.h>

#include "bridge/driver.hpp"
#include "bridge/task.hpp"

namespace corvane::bridge {

namespace py = pybind11;

// What corvane.http shares with the other modules through its "_BRIDGE_API" capsule: the
// coroutine type exists once per process.
struct BridgeApi {
  int version;
  PyTypeObject* coroutine_type;
  // Creates a coroutine object that owns `driver` (or deletes it and returns null on failure).
  PyObject* (*create)(DriverBase* driver, PyObject* qualname);
};

// corvane.http only: creates the coroutine type, registers it as a collections.abc.Coroutine
// and publishes the capsule on `module`.
void install_bridge(py::module_ module);

// A Python coroutine object that runs `task` when awaited. `qualname` is what its
// __qualname__ (and the never-awaited warning) shows, e.g. "BaseClient.request".
py::object as_coroutine(Task<py::object> task, const char* qualname);

// asyncio.sleep(seconds), looked up at the moment of the wait (hosts and tests replace it).
Task<py::object> sleep(double seconds);

// Holds an asyncio.Lock (or Semaphore) between acquire() and scope exit; release() is
// synchronous, so the guard needs no await to unlock.
class LockGuard {
 public:
  LockGuard() = default;
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;
  ~LockGuard();
  // Awaits lock.acquire() and takes ownership of the release.
  static Task<py::object> acquire(py::object lock, LockGuard& guard);

 private:
  Rooted<> lock_;  // a frame's local: reported while the frame waits
};

}  // namespace corvane::bridge
