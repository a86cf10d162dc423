// The Graph API's error rules: which corvane.errors kind an error answer of the Graph API is,
// from its HTTP status and the code and subcode of its body. The Graph clients get them as
// their _error_kind hook; the generic pipeline knows only the HTTP statuses.
#pragma once

#include "py/pyclass.hpp"

namespace corvane::graph {

// Adds _error_kind(self, status, code, subcode) with the Graph rules to a client class.
void add_error_rules(pyutil::ClassBuilder& cls);

}  // namespace corvane::graph
