// The session slot of BaseClient: lazy creation under a lock, ownership, close and scope.
//
// The slot has three states: Empty, Supplied (a session from the host) and Owned (a session
// the client created). Only an owned session is ever closed by the client; a supplied one is
// forgotten and left open. A closed session found in the slot is replaced by a new owned one,
// and so is an owned session of another event loop (a host calling asyncio.run twice): its
// connections belong to that loop, which may be closed, so it is detached, never closed from
// here, and left behind.
#include <cmath>
#include <string>

#include "modules/http/internal.hpp"
#include "py/errors.hpp"
#include "py/saved_error.hpp"
#include "py/names.hpp"
#include "py/owned.hpp"
#include "py/values.hpp"

namespace corvane::http {
namespace {

bool is_open(py::handle session) {
  return !session.is_none() && !pyutil::truthy(session.attr(pyutil::name<"closed">()));
}

// The loop a session was created on. aiohttp keeps it as _loop in every supported version; its
// public `loop` property is deprecated.
py::object loop_of(py::handle session) { return py::getattr(session, "_loop", py::none()); }

py::object running_loop() {
  static pyutil::Immortal get_running;  // asyncio._get_running_loop: None outside a loop
  if (!get_running) {
    get_running = pyutil::Immortal(py::module_::import("asyncio").attr("_get_running_loop"));
  }
  return get_running.get()();
}

// An owned session made on another loop than the running one (closed or not) cannot serve
// this loop's requests. A supplied session is the host's affair and is always used.
bool foreign_owned(py::handle slot, py::handle session) {
  if (session.is_none() || !pyutil::truthy(slot.attr(pyutil::name<"owned">()))) return false;
  py::object loop = loop_of(session);
  py::object running = running_loop();
  return !loop.is_none() && !running.is_none() && !loop.is(running);
}

bool usable(py::handle slot, py::handle session) {
  return is_open(session) && !foreign_owned(slot, session);
}

// Leaves an owned session of another loop behind. Closing it would schedule work on a loop
// that is gone or not ours; detach() only marks it closed (its connector stays with its loop),
// so it does not later complain that it was never closed.
void drop_foreign(py::handle slot, py::handle session) {
  if (!foreign_owned(slot, session)) return;
  py::object detach = py::getattr(session, "detach", py::none());
  if (!detach.is_none()) detach();
  slot.attr("session") = py::none();
  slot.attr("owned") = py::bool_(false);
}

}  // namespace

// The client's own logger ("corvane.facebook", ...), looked up when the rare warning is due.
py::object client_logger(py::handle self) {
  py::object provider = py::getattr(self, "provider", py::str("unknown"));
  std::string name = "corvane";
  if (PyUnicode_Check(provider.ptr()) && provider.cast<std::string>() != "unknown") {
    name += "." + provider.cast<std::string>();
  }
  return pyutil::logger(name.c_str());
}

namespace {

// A supplied session found closed. A pinned one (the sandbox's, after the sandbox stopped) is
// refused: replacing it would send the client's tokens to the real hosts. Any other is
// replaced as hosts rely on, but not silently.
void supplied_session_closed(py::handle self, py::handle session) {
  const char* type = Py_TYPE(self.ptr())->tp_name;
  if (PySequence_Contains(state().pinned.get().ptr(), session.ptr()) == 1) {
    pyutil::raise_error(
        "ConfigurationError",
        py::str(texts::kSandboxStopped).format(type));
  }
  client_logger(self).attr("warning")(texts::kSessionReplaced, type);
}

// ---- _Session ----

py::object session_init(py::object self, binder::Args args) {
  self.attr("session") = args[0];
  self.attr("owned") = py::bool_(false);
  self.attr("lock") = py::module_::import("asyncio").attr("Lock")();
  return py::none();
}

py::object session_repr(py::object self, binder::Args) {
  const char* state = self.attr("session").is_none()       ? "empty"
                      : pyutil::truthy(self.attr("owned")) ? "owned"
                                                           : "supplied";
  return py::str("<_Session {}>").format(state);
}

const binder::Operation kSlotOperations[] = {
    {.name = "__init__", .params = {{"session", &binder::kAnything, "None"}}, .doc = "",
     .now = session_init, .caller = "_Session"},
    {"__repr__", {}, nullptr, nullptr, session_repr},
};

// ---- BaseClient: construction, session provision, close, scope ----

py::object client_init(py::object self, binder::Args args) {
  py::object seconds = args[0], retry = args[1], agent = args[3], throttle = args[4];
  // The class the caller constructed: Facebook(timeout="x") is a mistake of Facebook's call.
  const std::string owner = py::str(py::type::of(self).attr("__name__"));
  const char* op = owner.c_str();
  if (PyBool_Check(seconds.ptr()) || !PyNumber_Check(seconds.ptr())) {
    binder::wrong_type(seconds, op, "timeout", texts::kSeconds);
  }
  // Refused rather than passed on: aiohttp reads a negative total as "no timeout at all",
  // and NaN is no deadline either.
  const double total = py::float_(seconds).cast<double>();
  if (std::isnan(total) || total < 0) {
    binder::wrong_value(seconds, op, "timeout", texts::kNonNegativeSeconds);
  }
  binder::text(agent, op, "user_agent");
  // The total time one attempt may take: connect, send and receive the whole body.
  self.attr("timeout") = py::module_::import("aiohttp").attr("ClientTimeout")(
      py::arg("total") = py::float_(seconds));
  // Duck-typed: a host's own policy class is welcome, but retry=3 would otherwise fail only
  // at the first request, with an AttributeError far from the mistake.
  if (!retry.is_none() && (!py::hasattr(retry, "attempts") || !py::hasattr(retry, "delay_for"))) {
    binder::wrong_type(retry, op, "retry", texts::kRetryPolicy);
  }
  self.attr("retry") = retry.is_none() ? state().retry_policy.get()() : retry;
  self.attr("user_agent") = agent;
  // Each client paces itself unless given a Throttle to share (`...`: not given), or None for
  // no pacing.
  if (!throttle.is_none() && throttle.ptr() != Py_Ellipsis && !is_throttle(throttle)) {
    binder::wrong_type(throttle, op, "throttle", texts::kThrottle);
  }
  self.attr("throttle") =
      throttle.ptr() == Py_Ellipsis ? state().throttle_type.get()() : throttle;
  self.attr("_sess") = state().session_type.get()(args[2]);
  return py::none();
}

// Empties the slot when the close leaves, whether the session's close succeeded or not.
struct EmptySlotOnExit {
  bridge::Rooted<> slot;
  ~EmptySlotOnExit() {
    pyutil::SavedError saved;
    if (PyObject_SetAttrString(slot.ptr(), "session", Py_None) < 0 ||
        PyObject_SetAttrString(slot.ptr(), "owned", Py_False) < 0) {
      PyErr_WriteUnraisable(slot.ptr());
    }
  }
};

Task<py::object> close_task(py::object self, binder::Args) {
  EmptySlotOnExit empty{self.attr("_sess")};
  py::object session = empty.slot.attr("session");
  if (pyutil::truthy(empty.slot.attr("owned")) && is_open(session)) {
    py::object closing = session.attr("close")();
    session = py::object();
    co_await std::move(closing);
  }
  co_return py::none();
}

Task<py::object> aenter_task(py::object self, binder::Args) {
  py::object ensuring = self.attr("_ensure_session")();
  co_await std::move(ensuring);
  co_return self;
}

Task<py::object> aexit_task(py::object self, binder::Args) {
  py::object closing = self.attr("close")();
  co_await std::move(closing);
  co_return py::bool_(false);  // never suppresses the failure that leaves the scope
}

Task<py::object> ensure_session_task(py::object self, binder::Args) {
  return ensure_session(std::move(self));
}

// The construction and the slot's operations. _ensure_session (row 1) the pipeline runs
// directly unless a subclass replaced it.
const binder::Operation kSessionOperations[] = {
    {.name = "__init__",
     .params = {option("timeout", &binder::kAnything, "30.0"), option("retry"),
                option("session"),
                option("user_agent", &binder::kAnything, "'corvane-python'"),
                option("throttle", &binder::kAnything, "...")},
     .doc = "timeout: seconds one HTTP attempt may take in all; retry: a RetryPolicy (defaults "
            "when None); session: an aiohttp.ClientSession owned by the host, used but never "
            "closed; user_agent: the User-Agent of sessions the client creates; throttle: the "
            "Throttle that paces the requests (a Throttle of the client's own when not given; "
            "share one between the clients of one app; None: no pacing and no usage record). "
            "Nothing is sent and no session is created here.",
     .now = client_init,
     .caller = "BaseClient"},
    {"_ensure_session", {},
     "The HTTP session, created (and owned) when the slot is empty, its session closed, or its "
     "own session made on another event loop. Concurrent first calls create exactly one "
     "session.",
     ensure_session_task},
    {"close", {},
     "Closes the session if the client created it, and empties the slot. A session supplied by "
     "the host is only forgotten. The client stays usable.",
     close_task},
    {"__aenter__", {}, "Creates the session; returns the client.", aenter_task},
    {"__aexit__",
     {{"exc_type", &binder::kAnything}, {"exc", &binder::kAnything}, {"tb", &binder::kAnything}},
     "Closes the client; never suppresses the failure that leaves the scope.", aexit_task},
};

}  // namespace

py::object pin_session(py::object, binder::Args args) {
  state().pinned.get().attr("add")(args[0]);
  return args[0];
}

PyCFunction ensure_session_entry() { return binder::entry_of<kSessionOperations, 1>(); }

Hook hook(py::handle self, py::handle name, PyCFunction own) {
  Hook out{pyutil::owned(PyObject_GetAttr(self.ptr(), name.ptr())), false};
  if (PyMethod_Check(out.bound.ptr())) {
    PyObject* function = PyMethod_GET_FUNCTION(out.bound.ptr());
    out.own = PyCFunction_Check(function) && PyCFunction_GET_FUNCTION(function) == own;
  }
  return out;
}

Task<py::object> ensure_session(py::object self) {
  const bridge::Rooted<> slot = self.attr(pyutil::name<"_sess">());
  bridge::Rooted<> session = slot.attr(pyutil::name<"session">());
  if (usable(slot, session)) co_return session;  // the common path takes no lock

  bridge::LockGuard guard;
  py::object lock = slot.attr("lock");
  co_await bridge::LockGuard::acquire(std::move(lock), guard);
  session = slot.attr("session");
  drop_foreign(slot, session);
  session = slot.attr("session");
  if (!is_open(session)) {
    if (!session.is_none() && !pyutil::truthy(slot.attr("owned"))) {
      supplied_session_closed(self, session);
    }
    // Looked up now, not at import: hosts and tests replace aiohttp.ClientSession.
    py::dict headers;
    headers["User-Agent"] = self.attr("user_agent");
    session = py::module_::import("aiohttp").attr("ClientSession")(
        py::arg("timeout") = self.attr("timeout"), py::arg("headers") = headers);
    slot.attr("session") = session;
    slot.attr("owned") = py::bool_(true);
  }
  co_return session;
}

py::object make_session_class(const char* module) {
  pyutil::ClassBuilder cls(module, "_Session", py::make_tuple(),
                           "The session slot of a client: the session, whether the client owns "
                           "it, and the lock that serialises its creation.");
  binder::add_methods<kSlotOperations>(cls, "_Session");
  cls.attr("__slots__", py::make_tuple("session", "owned", "lock"));
  return cls.build();
}

const binder::MethodGroup add_session_methods = binder::group<kSessionOperations, "BaseClient">;

}  // namespace corvane::http
