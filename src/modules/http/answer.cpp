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

using pyutil::guarded;
using pyutil::parse_args;

PyObject* require_json_method(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "answer", nullptr};
    PyObject *self = nullptr, *answer = nullptr;
    parse_args(args, kwargs, "OO:_require_json", keywords, &self, &answer);
    return require_json(self, py::reinterpret_borrow<py::object>(answer));
  });
}

PyMethodDef require_json_def = pyutil::method_def(
    "_require_json", require_json_method,
    "_require_json(self, answer)\n--\n\n"
    "answer unchanged, unless it is the {'raw': text} that request() returns for a successful "
    "response whose body is not JSON: then ApiError (status, masked url, payload set).");

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
  py::dict fields;
  fields["provider"] = py::getattr(client, "provider", py::str("unknown"));
  fields["status"] = status;
  fields["url"] = answer.attr("url");
  fields["payload"] = payload;
  py::str message = status.is_none() ? py::str(texts::kNotJson)
                                     : py::str(texts::kNotJsonStatus).format(status);
  pyutil::raise_error("ApiError", message, fields);
}

void add_answer_methods(pyutil::ClassBuilder& client) { client.method(&require_json_def); }

}  // namespace corvane::http
