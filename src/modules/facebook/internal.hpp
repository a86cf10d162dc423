// Shared declarations of corvane.facebook's source files (the module is split by concern:
// setup and OAuth, pages and subscriptions, Lead Ads, posts and comments).
#pragma once

#include <pybind11/pybind11.h>

#include "bridge/runtime.hpp"
#include "modules/client_module.hpp"
#include "modules/graph_batch.hpp"
#include "modules/graph_client.hpp"
#include "modules/graph_texts.hpp"
#include "modules/facebook/texts.hpp"
#include "py/errors.hpp"
#include "py/fields.hpp"
#include "py/names.hpp"
#include "py/pyclass.hpp"
#include "py/values.hpp"

namespace corvane::facebook {

namespace py = pybind11;
using namespace clients::short_names;

// Objects of other modules, resolved once when the module is initialised.
struct ModuleState : clients::Shared {
  pyutil::Immortal graph_type;      // corvane.endpoints.Graph
  pyutil::Immortal default_version; // corvane.endpoints.DEFAULT_GRAPH_VERSION
  pyutil::Immortal page;            // corvane.models.Page
  pyutil::Immortal lead_form;       // corvane.models.LeadForm
  pyutil::Immortal lead;            // corvane.models.Lead
  pyutil::Immortal page_fields;     // _PAGE_FIELDS: FB_PAGE as it was at import, plus Instagram
  pyutil::Immortal webhook_fields;  // DEFAULT_PAGE_WEBHOOK_FIELDS
};
ModuleState& state();

// The Page and its token, the first parameters of the Page's operations.
const binder::Param kPageId{"page_id", &graph::kNodeId};
const binder::Param kPageToken{"page_token", &binder::kToken};

// record_type.from_response(item) for each item, in order.
py::list records(py::handle record_type, py::handle items);

// The groups of operations, one table per file.
extern const binder::MethodGroup add_oauth_methods;    // oauth.cpp
extern const binder::MethodGroup add_page_methods;     // pages.cpp
extern const binder::MethodGroup add_lead_methods;     // leads.cpp
extern const binder::MethodGroup add_content_methods;  // content.cpp

}  // namespace corvane::facebook
