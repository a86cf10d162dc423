// Shared declarations of corvane.instagram's source files (the module is split by concern:
// setup and the account node, login, media and publishing, comments and Direct, statistics).
#pragma once

#include <pybind11/pybind11.h>

#include "bridge/runtime.hpp"
#include "modules/client_module.hpp"
#include "modules/graph_batch.hpp"
#include "modules/graph_client.hpp"
#include "modules/graph_texts.hpp"
#include "modules/instagram/texts.hpp"
#include "py/errors.hpp"
#include "py/fields.hpp"
#include "py/names.hpp"
#include "py/pyclass.hpp"
#include "py/values.hpp"

namespace corvane::instagram {

namespace py = pybind11;
using namespace clients::short_names;

// Objects of other modules, resolved once when the module is initialised.
struct ModuleState : clients::Shared {
  pyutil::Immortal module_dict;       // corvane.instagram's globals (constants read per call)
  pyutil::Immortal endpoints;         // corvane.endpoints (addresses read per call)
  pyutil::Immortal graph_type;        // corvane.endpoints.Graph
  pyutil::Immortal instagram_graph;   // corvane.endpoints.InstagramGraph
  pyutil::Immortal default_version;   // corvane.endpoints.DEFAULT_GRAPH_VERSION
};
ModuleState& state();

using pyutil::own;

// A module constant as it is now (hosts may tune _PUBLISH_DELAY and the like).
py::object constant(const char* name);

// True in the Facebook-login mode. Reads the instance's own `via_facebook` (the class
// attribute of that name is the constructor).
bool via_facebook(py::handle self);

const binder::Param kToken{"token", &binder::kToken};
// ig_user_id of an account-level operation: None, "" or a Graph id.
const binder::Param kIgUserId{"ig_user_id", &graph::kNodeIdOrNone, "None", true};

// The node an account-level request acts for: the account id (checked by its kind), or "me" in
// the Instagram-login mode; the Facebook-login mode refuses a missing id with
// ConfigurationError.
py::str account_node(py::handle self, py::handle ig_user_id);

// The inbox (Direct): the node whose conversations edge lists it, the account itself ("me") or,
// in the Facebook-login mode, the Page (page_id, a str already checked; ConfigurationError
// when missing); and the business's own ids among the arguments (present, non-empty texts),
// which are not customers.
py::str inbox_node(py::handle self, py::handle page_id, const char* function);
py::set business_ids_of(py::handle ig_user_id, py::handle page_id);

using clients::items_of;

using graph::answer_error;

// _enrich's look-ups in the Instagram-login mode, all awaited together (gather.cpp): each result
// is (igsid, profile) or the look-up's exception, a failure of one cancelling none of the others.
Task<py::object> concurrent_lookups_task(py::object self, py::list ids, py::object token);

// The module's functions (_flatten, insights.cpp), added to `module`; the rows of their table.
py::tuple add_module_functions(py::module_ module);

// The groups of operations, one per file (binder::MethodGroup).
py::tuple add_setup_methods(pyutil::ClassBuilder& cls);      // module.cpp
extern const binder::MethodGroup add_login_methods;          // login.cpp
extern const binder::MethodGroup add_media_methods;          // media.cpp
py::tuple add_messaging_methods(pyutil::ClassBuilder& cls);  // messaging.cpp
extern const binder::MethodGroup add_insights_methods;       // insights.cpp
extern const binder::MethodGroup add_listing_methods;        // listings.cpp

}  // namespace corvane::instagram
