// corvane.webhooks: Meta's webhook deliveries for a host's own web framework — the subscription
// handshake, the payload signature, events split from a delivery and their de-duplication keys.
#include <openssl/crypto.h>

#include <string>

#include "modules/webhooks/event.hpp"
#include "py/fast_lookup.hpp"
#include "py/values.hpp"

namespace py = pybind11;

namespace corvane::webhooks {
namespace {

constexpr const char* kModuleDoc = R"doc(Meta webhook deliveries: handshake, signature, events, keys.

The host's web framework receives the requests; this module has no server, no network access
and no state::

    GET  -> verify_challenge(request.query, VERIFY_TOKEN); None: answer 403, else answer
            exactly the returned text as text/plain
    POST -> verify_request(APP_SECRET, await request.read(), request.headers); False: 403
            for event in parse_events(json.loads(body)):
                if event.field == "leadgen" and not seen(event.key): ... event.leadgen_id

Meta gives events no identifier and delivers at least once: store each event's key in a unique
column to skip repeated deliveries.
)doc";

py::handle g_crypto;  // corvane.crypto, loaded with this module and kept for the process

// mapping.get(name): a dict is read directly, any other mapping through its get method.
py::object mapping_get(py::handle mapping, py::handle name, const char* function,
                       const char* argument) {
  if (PyDict_CheckExact(mapping.ptr())) {
    py::object found = pyutil::dict_item(mapping, name);
    return found ? found : py::object(py::none());
  }
  if (!PyObject_HasAttrString(mapping.ptr(), "get")) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a mapping, not %s", function,
                 argument, Py_TYPE(mapping.ptr())->tp_name);
    throw py::error_already_set();
  }
  return mapping.attr("get")(name);
}

// Equality of two texts whose time depends on their lengths only, not on where they differ.
bool equal_in_constant_time(py::handle a, py::handle b) {
  core::TextBuffer x, y;
  pyutil::append_text_utf8(x, a);
  pyutil::append_text_utf8(y, b);
  return x.size() == y.size() && CRYPTO_memcmp(x.view().data(), y.view().data(), x.size()) == 0;
}

PyObject* verify_challenge(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"query", "verify_token", nullptr};
  PyObject* query = nullptr;
  PyObject* verify_token = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:verify_challenge",
                                   const_cast<char**>(keywords), &query, &verify_token)) {
    return nullptr;
  }
  return pyutil::guarded([&]() -> py::object {
    if (verify_token != Py_None && !PyUnicode_Check(verify_token)) {
      PyErr_Format(PyExc_TypeError,
                   "verify_challenge() argument 'verify_token' must be str, not %s",
                   Py_TYPE(verify_token)->tp_name);
      throw py::error_already_set();
    }
    static const py::handle mode_name = pyutil::interned("hub.mode");
    static const py::handle token_name = pyutil::interned("hub.verify_token");
    static const py::handle challenge_name = pyutil::interned("hub.challenge");
    static const py::handle subscribe = pyutil::interned("subscribe");
    // An empty configured token would let an empty hub.verify_token through.
    if (verify_token == Py_None || PyUnicode_GET_LENGTH(verify_token) == 0) return py::none();
    py::object mode = mapping_get(query, mode_name, "verify_challenge", "query");
    if (!PyUnicode_Check(mode.ptr()) || PyUnicode_Compare(mode.ptr(), subscribe.ptr()) != 0) {
      return py::none();
    }
    py::object token = mapping_get(query, token_name, "verify_challenge", "query");
    if (!PyUnicode_Check(token.ptr()) || !equal_in_constant_time(token, verify_token)) {
      return py::none();
    }
    return mapping_get(query, challenge_name, "verify_challenge", "query");
  });
}

PyObject* verify_request(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"app_secret", "body", "headers", nullptr};
  PyObject* app_secret = nullptr;
  PyObject* body = nullptr;
  PyObject* headers = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:verify_request",
                                   const_cast<char**>(keywords), &app_secret, &body, &headers)) {
    return nullptr;
  }
  if (!PyUnicode_Check(app_secret)) {
    return PyErr_Format(PyExc_TypeError,
                        "verify_request() argument 'app_secret' must be str, not %s",
                        Py_TYPE(app_secret)->tp_name);
  }
  // The signature covers the bytes as received; a decoded body cannot be checked.
  if (PyUnicode_Check(body) || !PyObject_CheckBuffer(body)) {
    return PyErr_Format(PyExc_TypeError,
                        "verify_request() argument 'body' must be the raw request bytes, not %s",
                        Py_TYPE(body)->tp_name);
  }
  return pyutil::guarded([&] {
    static const py::handle exact = pyutil::interned("X-Hub-Signature-256");
    static const py::handle lower = pyutil::interned("x-hub-signature-256");
    // A case-insensitive mapping finds any letter case at the first look-up; a plain dict
    // gets a second chance with the lower-case name.
    py::object signature = mapping_get(headers, exact, "verify_request", "headers");
    if (!pyutil::truthy(signature)) {
      signature = mapping_get(headers, lower, "verify_request", "headers");
    }
    return g_crypto.attr("verify_signature")(py::handle(app_secret), py::handle(body),
                                             signature);
  });
}

PyObject* parse_events(PyObject*, PyObject* payload) {
  return pyutil::guarded([&] { return make_event_iterator(payload); });
}

PyObject* dedupe_key(PyObject*, PyObject* event) {
  if (!Event::is_instance(event)) {
    return PyErr_Format(PyExc_TypeError,
                        "dedupe_key() argument 'event' must be WebhookEvent, not %s",
                        Py_TYPE(event)->tp_name);
  }
  return pyutil::guarded([&] { return event_key(event); });
}

PyMethodDef g_functions[] = {
    {"verify_challenge", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(&verify_challenge)),
     METH_VARARGS | METH_KEYWORDS,
     "verify_challenge(query, verify_token)\n--\n\n"
     "Answers Meta's subscription handshake (the GET request on the callback URL).\n\n"
     "Returns the query's \"hub.challenge\" unchanged when \"hub.mode\" is \"subscribe\" and\n"
     "\"hub.verify_token\" equals verify_token (compared in constant time); None otherwise,\n"
     "also when verify_token is empty. Answer None with 403 and a text with exactly that text\n"
     "as a plain-text body."},
    {"verify_request", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(&verify_request)),
     METH_VARARGS | METH_KEYWORDS,
     "verify_request(app_secret, body, headers)\n--\n\n"
     "Checks the X-Hub-Signature-256 header of a delivery against the app secret.\n\n"
     "body is the raw request body (bytes, before any JSON parsing); headers is the request's\n"
     "header mapping (case-insensitive, or a plain dict, where \"X-Hub-Signature-256\" and then\n"
     "\"x-hub-signature-256\" are tried). Returns corvane.crypto.verify_signature's verdict;\n"
     "a missing header gives False there. TypeError for a non-str app_secret or a str body."},
    {"parse_events", &parse_events, METH_O,
     "parse_events(payload)\n--\n\n"
     "Splits a decoded delivery into WebhookEvent records, lazily.\n\n"
     "Events come entry by entry; within an entry all \"changes\", then all \"messaging\" items\n"
     "(field \"messages\"), then all \"standby\" items (field \"messages_standby\"). Each event\n"
     "is built when asked for. A payload, entry, change or messaging/standby item that is not\n"
     "a dict, and an \"entry\", \"changes\", \"messaging\" or \"standby\" member that is truthy\n"
     "but not a list, raise TypeError when iteration reaches them, after the events before\n"
     "were delivered."},
    {"dedupe_key", &dedupe_key, METH_O,
     "dedupe_key(event)\n--\n\n"
     "The stable de-duplication key of a WebhookEvent.\n\n"
     "\"object_type:field:ID\" with ID the value's first truthy leadgen_id, mid, comment_id,\n"
     "media_id or post_id, else its message.mid; otherwise \"object_type:field:object_id:time:\"\n"
     "followed by the first 32 hex digits of the SHA-256 of the value serialised with sorted\n"
     "keys (as json.dumps(value, sort_keys=True, ensure_ascii=False) writes it)."},
    {},
};

}  // namespace
}  // namespace corvane::webhooks

PYBIND11_MODULE(webhooks, m) {
  using namespace corvane::webhooks;
  m.doc() = kModuleDoc;
  g_crypto = py::module_::import("corvane.crypto").release();
  init_names();
  add_event_iterator_type();
  Event::add_to(m, "WebhookEvent");
  if (PyModule_AddFunctions(m.ptr(), g_functions) < 0) throw py::error_already_set();
}
