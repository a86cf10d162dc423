// What the client modules (facebook, instagram, linkedin) do alike when imported: bring in the
// modules a client builds on, keep the objects every client uses, and start the client class on
// corvane.http.BaseClient.
#pragma once

#include <pybind11/pybind11.h>

#include "py/pyclass.hpp"

namespace corvane::clients {

namespace py = pybind11;

// Objects of other modules every client uses; each module's own state extends it.
struct Shared {
  pyutil::Immortal logger;        // logging.getLogger("corvane.<provider>")
  pyutil::Immortal base_client;   // corvane.http.BaseClient
  pyutil::Immortal token_bundle;  // corvane.models.TokenBundle
  pyutil::Immortal profile;       // corvane.models.Profile
};

// The modules a client reads its addresses and records from.
struct Imports {
  py::module_ endpoints;  // corvane.endpoints
  py::module_ models;     // corvane.models
};

// Imports what a client module needs (corvane.errors too: clients raise its errors by name) and
// fills `shared`.
Imports init(Shared& shared, const char* provider);

// The client class corvane.<provider>.<name>: a BaseClient whose `provider` is `provider`.
pyutil::ClassBuilder client_class(const Shared& shared, const char* provider, const char* name,
                                  const char* doc);

}  // namespace corvane::clients
