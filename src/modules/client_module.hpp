// What the client modules (facebook, instagram, linkedin) do alike when imported: bring in the
// modules a client builds on, keep the objects every client uses, and start the client class on
// corvane.http.BaseClient.
#pragma once

#include <initializer_list>
#include <span>
#include <utility>

#include <pybind11/pybind11.h>

#include "bridge/task.hpp"
#include "py/binder.hpp"
#include "py/pyclass.hpp"
#include "py/values.hpp"

namespace corvane::clients {

namespace py = pybind11;

// Objects of other modules every client uses; each module's own state extends it.
struct Shared {
  pyutil::Immortal logger;        // logging.getLogger("corvane.<provider>")
  pyutil::Immortal base_client;   // corvane.http.BaseClient
  pyutil::Immortal token_bundle;  // corvane.models.TokenBundle
  pyutil::Immortal profile;       // corvane.models.Profile

  // Logs `message` (a %-form of the logging module) with `args` at `level` ("info", ...).
  template <class... Arg>
  void log(const char* level, const char* message, const Arg&... args) const {
    logger.get().attr(level)(message, args...);
  }
};

// The modules a client reads its addresses and records from.
struct Imports {
  py::module_ endpoints;  // corvane.endpoints
  py::module_ models;     // corvane.models
};

// Gives the client module `module` its docstring, imports what it needs (corvane.errors too:
// clients raise its errors by name) and fills `shared`.
Imports init(py::module_ module, const char* doc, Shared& shared, const char* provider);

// `answer` unchanged when it is JSON; ApiError ("The answer is not JSON (HTTP 200)", with
// provider, status, masked url and payload) when it is the {"raw": text} that request() returns
// for a successful response whose body is not JSON (self._require_json decides). Every
// operation that reads members of an answer passes the answer through this first.
py::object require_json(py::handle self, py::object answer);

// A new list of the items of `value` when it is a list or tuple, else an empty one (a platform
// answer whose member has another shape carries no items).
py::list items_of(py::handle value);

// Raises the ApiError of the client's provider for the answer that made an operation fail
// (`payload` may be null: no payload).
[[noreturn]] void answer_error(py::handle self, const char* message, py::handle payload);

// The client class corvane.<provider>.<name>: a BaseClient whose `provider` is `provider`.
pyutil::ClassBuilder client_class(const Shared& shared, const char* provider, const char* name,
                                  const char* doc);

// A login link: `base` + "?" + the pairs whose value is given (not a null handle) as
// key=value&..., every byte of the text form of each but the unreserved ones percent-encoded.
py::str login_link(py::handle base,
                   std::initializer_list<std::pair<const char*, py::handle>> pairs);

// Raises ConfigurationError `message` with `note` saying where the missing setting comes from.
[[noreturn]] void missing_setting(const char* message, const char* note);

// One constructor option that from_env reads from the environment.
struct EnvOption {
  const char* option;    // the constructor's keyword
  const char* variable;  // the environment variable
  enum Unset { kEmptyText, kNone, kDefault } unset;  // what an unset variable gives
  bool empty_is_unset = false;  // a variable set but empty counts as unset
};

// from_env(cls, **options): cls(**<the options read from the environment>, **options), the
// environment read at each call (hosts and tests set it after import); kDefault gives `fallback`.
py::object from_env(PyObject* args, PyObject* kwargs, std::span<const EnvOption> read,
                    py::handle fallback);

template <binder::NowBody Repr>
inline const binder::Operation kRepr[] = {{"__repr__", {}, "", nullptr, Repr}};

// Adds what a client class has besides its operations: __init__, the classmethod from_env and
// `Repr` as __repr__ (which leaves secrets out: reprs end up in logs and tracebacks).
template <binder::NowBody Repr>
void add_setup(pyutil::ClassBuilder& cls, const char* owner, PyMethodDef* init,
               PyMethodDef* from_env) {
  cls.method(init);
  cls.class_method(from_env);
  binder::add_methods<kRepr<Repr>>(cls, owner);
}

// The short names each client module's files use, brought in by its internal header.
namespace short_names {
using binder::Args;
using bridge::Task;
using pyutil::member;
using pyutil::truthy;
}  // namespace short_names

}  // namespace corvane::clients
