#include "modules/client_module.hpp"

#include <string>

#include "core/percent.hpp"
#include "py/errors.hpp"
#include "py/names.hpp"
#include "py/owned.hpp"
#include "py/values.hpp"

namespace corvane::clients {

Imports init(py::module_ module, const char* doc, Shared& shared, const char* provider) {
  module.doc() = doc;
  py::module_ http = py::module_::import("corvane.http");
  Imports out{py::module_::import("corvane.endpoints"), py::module_::import("corvane.models")};
  py::module_::import("corvane.errors");
  shared.logger = pyutil::Immortal(pyutil::logger(("corvane." + std::string(provider)).c_str()));
  shared.base_client = pyutil::Immortal(http.attr("BaseClient"));
  shared.token_bundle = pyutil::Immortal(out.models.attr("TokenBundle"));
  shared.profile = pyutil::Immortal(out.models.attr("Profile"));
  return out;
}

py::object require_json(py::handle self, py::object answer) {
  // Only a dict can be the marked answer; anything else is JSON already.
  if (!PyDict_Check(answer.ptr())) return answer;
  return py::getattr(self, pyutil::name<"_require_json">())(answer);
}

py::list items_of(py::handle value) {
  if (value && (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr()))) {
    return pyutil::owned<py::list>(PySequence_List(value.ptr()));
  }
  return py::list();
}

py::str login_link(py::handle base,
                   std::initializer_list<std::pair<const char*, py::handle>> pairs) {
  std::string link(pyutil::utf8(base));
  char separator = '?';
  for (const auto& [key, value] : pairs) {
    if (!value) continue;
    link.push_back(separator);
    separator = '&';
    core::percent_encode_into(link, key);
    link.push_back('=');
    core::percent_encode_into(link, pyutil::utf8(pyutil::text_form(value)));
  }
  return py::str(link);
}

void missing_setting(const char* message, const char* note) {
  py::object error = pyutil::make_error("ConfigurationError", py::str(message));
  pyutil::add_note(error, note);
  pyutil::raise(error);
}

py::object from_env(PyObject* args, PyObject* kwargs, std::span<const EnvOption> read,
                    py::handle fallback) {
  static const binder::Signature signature{"from_env", {"cls"}, 1, {}};
  binder::BoundArgs bound = binder::bind(signature, args, kwargs);
  py::object environ = py::module_::import("os").attr("environ");
  py::dict values;
  for (const EnvOption& option : read) {
    py::object value = environ.attr("get")(option.variable);
    if (option.empty_is_unset ? pyutil::truthy(value) : !value.is_none()) {
      values[option.option] = value;
    } else if (option.unset == EnvOption::kDefault) {
      values[option.option] = fallback;
    } else if (option.unset == EnvOption::kNone) {
      values[option.option] = py::none();
    } else {
      values[option.option] = py::str("");
    }
  }
  return binder::call_with_options(bound.values[0], "from_env", values, bound.extras);
}

void answer_error(py::handle self, const char* message, py::handle payload) {
  py::dict fields;
  fields["provider"] = py::getattr(self, pyutil::name<"provider">());
  if (payload) fields["payload"] = payload;
  pyutil::raise_error("ApiError", py::str(message), fields);
}

pyutil::ClassBuilder client_class(const Shared& shared, const char* provider, const char* name,
                                  const char* doc) {
  pyutil::ClassBuilder cls(("corvane." + std::string(provider)).c_str(), name,
                           py::make_tuple(shared.base_client.get()), doc);
  cls.attr("provider", py::str(provider));
  return cls;
}

}  // namespace corvane::clients
