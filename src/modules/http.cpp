// corvane.http (bootstrap).
#include <pybind11/pybind11.h>

#include "bridge/runtime.hpp"

namespace py = pybind11;
using corvane::bridge::Task;

namespace {
Task<py::object> relay_inner(py::object awaitable) { co_return co_await awaitable; }
Task<py::object> relay(py::object awaitable, py::object catch_kind) {
  try {
    co_return co_await relay_inner(std::move(awaitable));
  } catch (py::error_already_set& e) {
    if (catch_kind.is_none() || !e.matches(catch_kind)) throw;
    co_return py::make_tuple("caught", e.value());
  }
}
}  // namespace

PYBIND11_MODULE(http, m) {
  corvane::bridge::install_bridge(m);
  m.def("_relay", [](py::object awaitable, py::object catch_kind) {
    return corvane::bridge::as_coroutine(relay(std::move(awaitable), std::move(catch_kind)), "_relay");
  }, py::arg("awaitable"), py::arg("catch") = py::none());
}
