// Answers whose body is not JSON. request() keeps returning {"raw": text} for them, as a
// _RawAnswer that also records the status and the masked URL; an operation that reads members
// of an answer passes it through require_json first, so that a proxy's HTML page or a body
// cut short fails loudly instead of reading as "no pages", "no leads" or "not subscribed".
#include "core/mask.hpp"
#include "modules/http/internal.hpp"
#include "py/errors.hpp"
#include "py/values.hpp"

namespace corvane::http {
namespace {

py::object require_json_now(py::object self, binder::Args args) {
  return require_json(self, args[0]);
}

const binder::Operation kAnswerOperations[] = {
    {"_require_json", {{"answer", &binder::kAnything}},
     "answer unchanged, unless it is the {'raw': text} that request() returns for a successful "
     "response whose body is not JSON: then ApiError (status, masked url, payload set).",
     nullptr, require_json_now},
};

}  // namespace

py::object make_raw_answer_class(const char* module) {
  pyutil::ClassBuilder cls(module, "_RawAnswer", py::make_tuple(py::handle(
                                                     reinterpret_cast<PyObject*>(&PyDict_Type))),
                           "{'raw': text}: a response body that is not JSON. For a successful "
                           "response, status and url (masked) tell which one it was.");
  cls.attr("status", py::none());
  cls.attr("url", py::none());
  return cls.build();
}

py::object require_json(py::handle client, py::object answer) {
  if (!Py_IS_TYPE(answer.ptr(), reinterpret_cast<PyTypeObject*>(state().raw_answer.get().ptr()))) {
    return answer;
  }
  py::object status = answer.attr("status");
  py::object raw = pyutil::member(answer, "raw", py::str(""));
  // The text itself may echo the request (an error page quoting the URL it was asked for).
  py::dict payload;
  payload["raw"] = PyUnicode_Check(raw.ptr())
                       ? py::str(core::mask_secrets_in_text(pyutil::utf8(raw)))
                       : py::str("");
  const py::dict fields(py::arg("provider") = py::getattr(client, "provider", py::str("unknown")),
                        py::arg("status") = status, py::arg("url") = answer.attr("url"),
                        py::arg("payload") = payload);
  py::str message = status.is_none() ? py::str(texts::kNotJson)
                                     : py::str(texts::kNotJsonStatus).format(status);
  pyutil::raise_error("ApiError", message, fields);
}

const binder::MethodGroup add_answer_methods = binder::group<kAnswerOperations, "BaseClient">;

}  // namespace corvane::http
