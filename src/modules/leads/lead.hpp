// Internals of corvane.leads shared by its source files: the NormalizedLead record and the
// rules that map one Lead Ads question to a canonical field.
#pragma once

#include <pybind11/pybind11.h>

#include "py/owned.hpp"
#include "py/slot_record.hpp"

namespace corvane::leads {

namespace py = pybind11;

// The fourteen canonical text fields come first, in this order; custom is the last field.
constexpr std::size_t kCanonicalCount = 14;
constexpr std::size_t kCustom = 14;
enum LeadField : std::size_t {
  kFullName, kFirstName, kLastName, kEmail, kPhone, kCompany, kJobTitle,
  kCity, kState, kCountry, kZip, kAddress, kBirthDate, kGender,
};

#define CORVANE_LEAD_TEXT(name, doc) \
  {name, pyutil::FieldCheck::OptionalText, pyutil::FieldDefault::None, doc}

struct LeadShape {
  static constexpr const char* kName = "corvane.leads.NormalizedLead";
  static const char* const kDoc;
  static constexpr pyutil::RecordField kFields[] = {
      CORVANE_LEAD_TEXT("full_name", "Full name; joined from first and last name when absent."),
      CORVANE_LEAD_TEXT("first_name", "First name."),
      CORVANE_LEAD_TEXT("last_name", "Last name."),
      CORVANE_LEAD_TEXT("email", "E-mail address, trimmed and in lower case."),
      CORVANE_LEAD_TEXT("phone", "Phone number: digits with one leading \"+\" at most."),
      CORVANE_LEAD_TEXT("company", "Company name."),
      CORVANE_LEAD_TEXT("job_title", "Job title."),
      CORVANE_LEAD_TEXT("city", "City."),
      CORVANE_LEAD_TEXT("state", "State, province or region."),
      CORVANE_LEAD_TEXT("country", "Country."),
      CORVANE_LEAD_TEXT("zip", "Postal code."),
      CORVANE_LEAD_TEXT("address", "Street address."),
      CORVANE_LEAD_TEXT("birth_date", "Date of birth, as answered."),
      CORVANE_LEAD_TEXT("gender", "Gender, as answered."),
      {"custom", pyutil::FieldCheck::Dict, pyutil::FieldDefault::NewDict,
       "Every answer without a canonical field, under its raw question name (a list for\n"
       "several answers), plus \"<name>__all\" lists for multi-answer canonical questions."},
  };
  static PyGetSetDef* extra_getsets() { return nullptr; }
  static PyMethodDef* extra_methods();
};

#undef CORVANE_LEAD_TEXT

using Lead = pyutil::RecordType<LeadShape>;

using pyutil::owned;

// The canonical field of a raw question name: its index (below kCanonicalCount), or -1 when it
// has none. Reads the current policy's tables, once, when the trimmed name is not empty. When
// `key` is given it receives the table's answer (a str or None).
int canonical_field(py::handle raw_name, py::object* key = nullptr);

// value with every character that is neither a decimal digit nor "+" removed, and every "+"
// but a leading one.
py::str clean_phone(py::handle value);

// str.strip() and str.lower() of a str, without a method call for the common ASCII case.
py::str strip_text(py::handle text);
py::str lower_text(py::handle text);

}  // namespace corvane::leads
