#include "modules/client_module.hpp"

#include <string>

#include "py/names.hpp"
#include "py/values.hpp"

namespace corvane::clients {

Imports init(Shared& shared, const char* provider) {
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

pyutil::ClassBuilder client_class(const Shared& shared, const char* provider, const char* name,
                                  const char* doc) {
  pyutil::ClassBuilder cls(("corvane." + std::string(provider)).c_str(), name,
                           py::make_tuple(shared.base_client.get()), doc);
  cls.attr("provider", py::str(provider));
  return cls;
}

}  // namespace corvane::clients
