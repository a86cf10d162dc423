// corvane.models: the small result records the clients return (token bundle, profile, page,
// lead form, lead), each a plain value that keeps the object it was built from as `raw`.
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "py/binder.hpp"
#include "py/values.hpp"

namespace py = pybind11;

namespace {

using corvane::binder::wrong_type;

constexpr const char* kModuleDoc = R"doc(Result records of corvane.

A few operations return small records instead of the platform's JSON::

    TokenBundle   outcome of an OAuth code exchange or token refresh
    Profile       one person or account, the same shape on every platform
    Page          a Facebook Page the user manages, with its page access token
    LeadForm      a Lead Ads form
    Lead          one submitted lead, with its field_data

Records are plain values owned by the caller: their fields are read-only, they compare
equal when they are of the same class with equal fields and equal ``raw``, and they are
unhashable (they hold dicts). ``raw`` is a shallow copy of the object the record was built
from. Tokens never appear in a ``repr()``; copy and pickle keep every field.
)doc";

// How a field shows in repr(): its value, masked (tokens), not at all, or as a count.
enum class Shown { value, secret, hidden, count };

// How a field is read from the platform's item.
enum class Read { as_is, dict_or_none, list_or_empty };

struct Field {
  const char* name;
  const char* doc;
  Shown shown = Shown::value;
  Read read = Read::as_is;
};

// What a record class is: its name, the name of the argument of from_response (empty when the
// record is built by keywords instead), its fields in order, its docstring and from_response's.
struct Kind {
  const char* name;
  const char* argument;
  std::vector<Field> fields;
  const char* doc;
  const char* from_response_doc = nullptr;
};

struct Record {
  std::vector<py::object> values;
  py::dict raw;
};
struct TokenBundle : Record {};
struct Profile : Record {};
struct Page : Record {};
struct LeadForm : Record {};
struct Lead : Record {};

const Kind kTokenBundle{"TokenBundle", "payload", {
    {"access_token", "The access token (None when the payload has none).", Shown::secret},
    {"token_type", "The token type, e.g. 'bearer'."},
    {"expires_in", "Lifetime in seconds, as the platform gave it."},
    {"refresh_token", "The refresh token, where the platform issues one.", Shown::secret},
    {"scope", "The granted scope, as the platform gave it."},
}, "The outcome of an OAuth code exchange or token refresh.\n\n"
   "Fields absent from the payload are None; everything else the platform sent (e.g. "
   "refresh_token_expires_in) stays reachable through raw. Built only by from_response.",
   "Builds the bundle from the decoded token JSON object (a dict)."};

const Kind kProfile{"Profile", "", {
    {"id", "Platform identifier of the account or person."},
    {"platform", "'facebook', 'instagram' or 'linkedin'."},
    {"username", "Handle or login name."},
    {"full_name", "Display name."},
    {"picture", "URL of the profile picture.", Shown::hidden},
    {"email", "E-mail address, where the platform discloses it.", Shown::hidden},
    {"bio", "Biography (Instagram).", Shown::hidden},
    {"website", "Website (Instagram).", Shown::hidden},
    {"account_type", "Account type (Instagram).", Shown::hidden},
    {"followers_count", "Number of followers (Instagram).", Shown::hidden},
    {"follows_count", "Number of accounts followed (Instagram).", Shown::hidden},
    {"media_count", "Number of media (Instagram).", Shown::hidden},
}, "One person or account, the same shape on every platform.\n\n"
   "Built by keywords: id and platform are required, the other fields default to None and "
   "raw (the platform's answer the profile was built from) to an empty dict."};

const Kind kPage{"Page", "item", {
    {"id", "Page id."},
    {"name", "Page name."},
    {"category", "Page category."},
    {"access_token", "The page access token: a secret, never shown in repr().", Shown::secret},
    {"instagram_business_account", "The linked Instagram business account (a dict) or None.",
     Shown::hidden, Read::dict_or_none},
}, "A Facebook Page the user manages.\n\n"
   "access_token is the page token the page-level operations take; it is a secret and "
   "never appears in repr(). Built only by from_response.",
   "Builds the page from one item of the me/accounts list (a dict)."};

const Kind kLeadForm{"LeadForm", "item", {
    {"id", "Form id."},
    {"name", "Form name."},
    {"status", "Form status, e.g. 'ACTIVE'."},
}, "A Lead Ads form. Built only by from_response.",
   "Builds the form from one item of a page's leadgen_forms list (a dict)."};

const Kind kLead{"Lead", "item", {
    {"id", "Lead id."},
    {"created_time", "When the lead was submitted, as the platform gave it."},
    {"form_id", "Id of the form the lead came through."},
    {"ad_id", "Id of the ad the lead came through (None for organic leads)."},
    {"field_data", "The submitted fields: a list of {'name', 'values'} dicts (empty when "
                   "missing).",
     Shown::count, Read::list_or_empty},
}, "One submitted lead. repr() shows how many fields were submitted, not their values. "
   "Built only by from_response.",
   "Builds the lead from one lead object (a dict); field_data must be a list "
   "when present."};


py::object read_field(const Kind& kind, const Field& field, py::handle value) {
  switch (field.read) {
    case Read::as_is:
      return py::reinterpret_borrow<py::object>(value);
    case Read::dict_or_none:
      // Anything but an object (e.g. null) means no linked account.
      if (PyDict_Check(value.ptr())) return py::reinterpret_borrow<py::object>(value);
      return py::none();
    case Read::list_or_empty:
      if (value.is_none()) return py::list();
      if (!PyList_Check(value.ptr())) {
        wrong_type(value, (std::string(kind.name) + ".from_response").c_str(), "field_data",
                   "a list");
      }
      // A copy, so the record does not share the caller's list.
      if (PyObject* copy = PySequence_List(value.ptr())) return py::reinterpret_steal<py::list>(copy);
      throw py::error_already_set();
  }
  return py::none();
}

// Builds the record's values from one item of the platform's answer.
template <class T>
T from_item(const Kind& kind, py::handle item) {
  if (!PyDict_Check(item.ptr())) {
    wrong_type(item, (std::string(kind.name) + ".from_response").c_str(), kind.argument,
               "a dict");
  }
  T record;
  record.raw = corvane::pyutil::copy_dict(item);
  for (const Field& field : kind.fields) {
    // Held before it is read: copying a list subclass runs its __iter__, which may change
    // the item.
    const py::object found = corvane::pyutil::member(item, field.name);  // None when absent
    record.values.push_back(read_field(kind, field, found));
  }
  return record;
}

// Page(id='1', name='Shop', access_token='***'): None fields are left out.
std::string record_repr(const Kind& kind, const Record& record) {
  std::string out = std::string(kind.name) + "(";
  bool first = true;
  for (std::size_t i = 0; i < kind.fields.size(); ++i) {
    const Field& field = kind.fields[i];
    const py::object value = record.values[i];  // held while its repr runs host code
    if (field.shown == Shown::hidden || value.is_none()) continue;
    std::string shown;
    if (field.shown == Shown::secret) {
      shown = "'***'";
    } else if (field.shown == Shown::count) {
      const std::size_t count = py::len(value);
      shown = "<" + std::to_string(count) + (count == 1 ? " item>" : " items>");
    } else {
      shown = py::repr(value);
    }
    out += (first ? "" : ", ") + std::string(field.name) + "=" + shown;
    first = false;
  }
  return out + ")";
}

bool same_values(const Record& a, const Record& b) {
  for (std::size_t i = 0; i < a.values.size(); ++i) {
    // Both held: a value's __eq__ is host code.
    const py::object left = a.values[i];
    const py::object right = b.values[i];
    if (!left.equal(right)) return false;
  }
  const py::dict left = a.raw;
  const py::dict right = b.raw;
  return left.equal(right);
}

// The record inside `self`. Checked because a property's getter can be handed any object, and
// `Cls.__new__(Cls)` makes an instance whose C++ value was never built.
template <class T>
const T& unwrap(py::handle self, const Kind& kind) {
  if (!py::isinstance<T>(self)) {
    wrong_type(self, kind.name, "self", (std::string("a ") + kind.name).c_str());
  }
  auto* instance = reinterpret_cast<py::detail::instance*>(self.ptr());
  auto holder = instance->get_value_and_holder(py::detail::get_type_info(typeid(T)));
  if (!holder.holder_constructed()) {
    throw py::type_error(std::string(kind.name) + ": the record was never initialised");
  }
  return *static_cast<const T*>(holder.value_ptr());
}

// The class with what every record shares: fields as read-only properties, ==, repr,
// pickling, and from_response where the kind is built by it.
template <class T>
py::class_<T> bind_record(py::module_& m, const Kind& kind) {
  py::class_<T> cls(m, kind.name, kind.doc, py::is_final());
  if (kind.from_response_doc != nullptr) {
    const std::string doc = std::string("from_response(") + kind.argument + ")\n--\n\n" +
                            kind.from_response_doc;
    cls.def_static(
        "from_response", [&kind](py::object item) { return from_item<T>(kind, item); },
        py::arg(kind.argument), doc.c_str());
  }
  for (std::size_t i = 0; i < kind.fields.size(); ++i) {
    cls.def_property_readonly(
        kind.fields[i].name,
        [i, &kind](py::handle self) { return unwrap<T>(self, kind).values[i]; },
        kind.fields[i].doc);
  }
  cls.def_property_readonly(
      "raw", [&kind](py::handle self) { return unwrap<T>(self, kind).raw; },
      "The object the record was built from (a dict, shallow-copied at construction).");
  cls.def(
      "__eq__",
      [&kind](py::handle self, py::handle other) -> py::object {
        if (!py::isinstance<T>(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        return py::bool_(same_values(unwrap<T>(self, kind), unwrap<T>(other, kind)));
      },
      py::is_operator(),
      "Equal when the other is a record of the same class with equal fields and equal raw.");
  // Records hold dicts, so they cannot promise a stable hash.
  cls.attr("__hash__") = py::none();
  cls.def(
      "__repr__", [&kind](py::handle self) { return record_repr(kind, unwrap<T>(self, kind)); },
      "Short readable form; tokens show as '***', raw and personal details are left out.");
  cls.def(
      py::pickle(
          [&kind](py::handle self) {
            const T& record = unwrap<T>(self, kind);
            py::tuple values(record.values.size());
            for (std::size_t i = 0; i < record.values.size(); ++i) values[i] = record.values[i];
            return py::tuple(py::make_tuple(values, record.raw));
          },
          [&kind](const py::tuple& state) {
            // The real sizes: a tuple subclass's __len__ and __iter__ may say anything, and
            // every field is read by position later.
            const py::handle values =
                PyTuple_GET_SIZE(state.ptr()) == 2 ? PyTuple_GET_ITEM(state.ptr(), 0) : nullptr;
            if (!values || !PyTuple_Check(values.ptr()) ||
                PyTuple_GET_SIZE(values.ptr()) != static_cast<Py_ssize_t>(kind.fields.size()) ||
                !PyDict_Check(PyTuple_GET_ITEM(state.ptr(), 1))) {
              throw py::value_error(std::string(kind.name) + ": malformed pickled state");
            }
            T record;
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(values.ptr()); ++i) {
              record.values.push_back(
                  py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(values.ptr(), i)));
            }
            record.raw = state[1].cast<py::dict>();
            return record;
          }),
      "Restores the record from the state __getstate__ gave (copy and pickle use them).");
  return cls;
}

Profile make_profile(py::object id, py::object platform, py::object username, py::object full_name,
                     py::object picture, py::object email, py::object bio, py::object website,
                     py::object account_type, py::object followers_count,
                     py::object follows_count, py::object media_count, py::object raw) {
  if (!raw.is_none() && !PyDict_Check(raw.ptr())) wrong_type(raw, "Profile", "raw", "a dict");
  Profile profile;
  profile.values = {id,      platform, username,     full_name,       picture,       email,
                    bio,     website,  account_type, followers_count, follows_count, media_count};
  profile.raw = corvane::pyutil::copy_dict(raw);
  return profile;
}

}  // namespace

PYBIND11_MODULE(models, m) {
  // Each docstring that starts with its own text signature is the one help() and inspect read.
  py::options options;
  options.disable_function_signatures();
  m.doc() = kModuleDoc;
  bind_record<TokenBundle>(m, kTokenBundle);
  auto profile = bind_record<Profile>(m, kProfile);
  profile.def(py::init(&make_profile), py::kw_only(), py::arg("id"), py::arg("platform"),
              py::arg("username") = py::none(), py::arg("full_name") = py::none(),
              py::arg("picture") = py::none(), py::arg("email") = py::none(),
              py::arg("bio") = py::none(), py::arg("website") = py::none(),
              py::arg("account_type") = py::none(), py::arg("followers_count") = py::none(),
              py::arg("follows_count") = py::none(), py::arg("media_count") = py::none(),
              py::arg("raw") = py::none(),
              "__init__(self, *, id, platform, username=None, full_name=None, picture=None, "
              "email=None, bio=None, website=None, account_type=None, followers_count=None, "
              "follows_count=None, media_count=None, raw=None)\n--\n\n"
              "Builds a profile from its fields, given by name; raw must be a dict.");
  bind_record<Page>(m, kPage);
  bind_record<LeadForm>(m, kLeadForm);
  bind_record<Lead>(m, kLead);
}
