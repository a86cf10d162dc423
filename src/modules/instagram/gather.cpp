// Awaiting many awaitables together with their failures collected: the bridge offers sleep and
// locks; the concurrent wait is asyncio.gather itself, so cancellation and clean-up of the
// children are the event loop's own.
#include "modules/instagram/internal.hpp"

namespace corvane::instagram {

Task<py::object> gather_collected(py::list awaitables) {
  // Looked up at each call, like every other service of the loop.
  py::object gather = py::module_::import("asyncio").attr("gather");
  // The gathering future is what the loop's task waits on: cancelling the task cancels it,
  // and it cancels every child still running.
  py::object results = co_await gather(*awaitables, py::arg("return_exceptions") = true);
  co_return results;
}

}  // namespace corvane::instagram
