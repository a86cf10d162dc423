// The tables of corvane.policy: their validated, immutable form, the check that builds it
// from a JSON-shaped dict, and the baseline contents.
#pragma once

#include <array>
#include <string_view>

#include <pybind11/pybind11.h>

#include "py/owned.hpp"

namespace corvane::policy {

namespace py = pybind11;

using pyutil::owned;

// The fourteen fields of a normalised lead: the only values a lead table may map a name to
// (besides None, "no canonical key").
inline constexpr std::array<std::string_view, 14> kCanonicalKeys = {
    "full_name", "first_name", "last_name", "email",   "phone",   "company",    "job_title",
    "city",      "state",      "country",   "zip",     "address", "birth_date", "gender"};

// The members a policy document may hold.
inline constexpr std::string_view kFields = "fields";
inline constexpr std::string_view kMetrics = "metrics";
inline constexpr std::string_view kLeadMap = "lead_map";
inline constexpr std::string_view kLeadHeuristics = "lead_heuristics";

// Validated tables (exact str throughout). Built once, never changed afterwards: readers may hold any of them for
// as long as they like, and a swap of the current policy never shows them half-updated.
struct Tables {
  py::dict fields;          // set name -> non-empty field list
  py::dict metrics;         // list name -> non-empty insights metric list
  py::dict lead_map;        // normalised field name -> canonical key or None
  py::object lead_map_view; // read-only view of lead_map handed to callers
  py::tuple heuristics;     // ((keyword, ...), canonical key or None), in order
};

// Checks a policy document and builds its tables. A document that is not a dict is a
// TypeError naming `argument`; a malformed member is a ValueError naming that member (and
// the key or position inside it). Members missing from the document give empty tables.
Tables build_tables(py::handle document, const char* argument);

// A new JSON-shaped dict with the four members of `tables` (fresh containers, so callers
// may change it without touching the tables).
py::dict tables_document(const Tables& tables);

// The baseline document: complete field sets for every set the clients read, the insights
// metrics they ask for, Meta's
// standard Lead Ads question names and multilingual keyword heuristics.
py::dict baseline_document();

}  // namespace corvane::policy
