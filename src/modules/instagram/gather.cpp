// The Instagram-login mode's profile look-ups (graph.instagram.com has no batch): each through
// contact(), at most _PROFILE_CONCURRENCY at a time under a semaphore of the call, all awaited
// together with their failures collected. The bridge offers sleep and locks; the concurrent
// wait is asyncio.gather itself, so cancellation and clean-up of the children are the event
// loop's own.
#include "modules/instagram/internal.hpp"

namespace corvane::instagram {
namespace {

// One look-up under the call's semaphore; the permit is released however it ends.
Task<py::object> fetch_task(py::object self, py::object igsid, py::object token,
                            py::object limiter) {
  bridge::LockGuard permit;
  Task<py::object> acquiring = bridge::LockGuard::acquire(std::move(limiter), permit);
  co_await std::move(acquiring);
  py::object looking_up = self.attr(pyutil::name<"contact">())(igsid, token);
  py::object profile = co_await std::move(looking_up);
  co_return py::make_tuple(igsid, profile);
}

}  // namespace

Task<py::object> concurrent_lookups_task(py::object self, py::list ids, py::object token) {
  py::object gathering;  // made once the look-ups are
  {
    // Per call: two enrichments running at once do not share their permits.
    py::object limiter =
        py::module_::import("asyncio").attr("Semaphore")(constant("_PROFILE_CONCURRENCY"));
    py::list fetches;
    for (py::handle id : ids) {
      fetches.append(bridge::as_coroutine(fetch_task(self, own(id.ptr()), token, limiter),
                                          "Instagram._enrich.<locals>.fetch"));
    }
    // asyncio.gather is looked up at each call, like every other service of the loop. The
    // gathering future is what the loop's task waits on: cancelling the task cancels it, and it
    // cancels every child still running.
    gathering = py::module_::import("asyncio").attr("gather")(
        *fetches, py::arg("return_exceptions") = true);
  }
  co_return co_await std::move(gathering);
}

}  // namespace corvane::instagram
