// Module-side access to the shared coroutine type, and the awaitable helpers.
#include "bridge/runtime.hpp"

#include "py/saved_error.hpp"

namespace corvane::bridge {
namespace {

// Each extension module has its own copy of this pointer; all point at corvane.http's API.
const BridgeApi* g_api = nullptr;

const BridgeApi& api() {
  if (g_api == nullptr) {
    auto* found = static_cast<const BridgeApi*>(PyCapsule_Import("corvane.http._BRIDGE_API", 0));
    if (found == nullptr) throw py::error_already_set();
    g_api = found;
  }
  return *g_api;
}

}  // namespace

void set_bridge_api(const BridgeApi* api_table) { g_api = api_table; }

py::object as_coroutine(Task<py::object> task, const char* qualname) {
  const BridgeApi& table = api();
  py::str name(qualname);
  PyObject* coro = table.create(new Driver(std::move(task)), name.ptr());
  if (coro == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(coro);
}

Task<py::object> sleep(double seconds) {
  py::object asyncio_sleep = py::module_::import("asyncio").attr("sleep");
  co_return co_await asyncio_sleep(seconds);
}

Task<py::object> LockGuard::acquire(py::object lock, LockGuard& guard) {
  py::object acquiring = lock.attr("acquire")();
  co_await std::move(acquiring);
  guard.lock_ = std::move(lock);
  co_return py::none();
}

LockGuard::~LockGuard() {
  if (!lock_) return;
  pyutil::SavedError saved;
  PyObject* out = PyObject_CallMethod(lock_.ptr(), "release", nullptr);
  if (out == nullptr) PyErr_WriteUnraisable(lock_.ptr());
  Py_XDECREF(out);
}

}  // namespace corvane::bridge
