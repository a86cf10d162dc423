// corvane.webhooks: Meta's webhook deliveries for a host's own web framework — the subscription
// handshake, the payload signature, events split from a delivery and their de-duplication keys.
#include <openssl/crypto.h>

#include <string>

#include "modules/webhooks/event.hpp"
#include "modules/webhooks/texts.hpp"
#include "py/binder.hpp"
#include "py/fast_lookup.hpp"
#include "py/text_args.hpp"
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

using binder::Args;

py::object borrowed(py::handle value) { return py::reinterpret_borrow<py::object>(value); }

// A dict, or any mapping with a get method (a framework's query or header mapping).
py::object mapping(py::handle value, const char* operation, const char* parameter) {
  if (!PyDict_Check(value.ptr()) && !PyObject_HasAttrString(value.ptr(), "get")) {
    binder::wrong_type(value, operation, parameter, texts::kMapping);
  }
  return borrowed(value);
}

// The signature covers the bytes as received; a decoded body cannot be checked.
py::object raw_bytes(py::handle value, const char* operation, const char* parameter) {
  if (PyUnicode_Check(value.ptr()) || !PyObject_CheckBuffer(value.ptr())) {
    binder::wrong_type(value, operation, parameter, texts::kRawBytes);
  }
  return borrowed(value);
}

// Checked as parse_events iterates: the events before a malformed part are delivered.
py::object payload(py::handle value, const char*, const char*) { return borrowed(value); }

py::object event(py::handle value, const char* operation, const char* parameter) {
  if (!Event::is_instance(value.ptr())) {
    binder::wrong_type(value, operation, parameter, texts::kEvent);
  }
  return borrowed(value);
}

const binder::Kind kQuery{"Mapping[str, Any]", mapping};
const binder::Kind kHeaders{"Mapping[str, str]", mapping};
const binder::Kind kBody{"bytes | bytearray | memoryview", raw_bytes};
const binder::Kind kPayload{"dict[str, Any]", payload};
const binder::Kind kEvent{"WebhookEvent", event};

// mapping.get(name): a dict is read directly, any other mapping through its get method.
py::object mapping_get(py::handle mapping, py::handle name) {
  if (PyDict_CheckExact(mapping.ptr())) {
    py::object found = pyutil::dict_item(mapping, name);
    return found ? found : py::object(py::none());
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

py::object verify_challenge(py::object, Args args) {
  const py::object& query = args[0];
  const py::object& verify_token = args[1];
  // An empty configured token would let an empty hub.verify_token through.
  if (verify_token.is_none() || PyUnicode_GET_LENGTH(verify_token.ptr()) == 0) return py::none();
  py::object mode = mapping_get(query, name<"hub.mode">());
  if (!PyUnicode_Check(mode.ptr()) ||
      PyUnicode_Compare(mode.ptr(), name<"subscribe">().ptr()) != 0) {
    return py::none();
  }
  py::object token = mapping_get(query, name<"hub.verify_token">());
  if (!PyUnicode_Check(token.ptr()) || !equal_in_constant_time(token, verify_token)) {
    return py::none();
  }
  return mapping_get(query, name<"hub.challenge">());
}

py::object verify_request(py::object, Args args) {
  // A case-insensitive mapping finds any letter case at the first look-up; a plain dict
  // gets a second chance with the lower-case name.
  py::object signature = mapping_get(args[2], name<"X-Hub-Signature-256">());
  if (!pyutil::truthy(signature)) signature = mapping_get(args[2], name<"x-hub-signature-256">());
  return g_crypto.attr("verify_signature")(args[0], args[1], signature);
}

py::object parse_events(py::object, Args args) { return make_event_iterator(args[0].ptr()); }

py::object dedupe_key(py::object, Args args) { return event_key(args[0].ptr()); }

py::object delivery_rows(py::object, Args args) {
  const pyutil::BytesArg body(args[0], "_delivery_rows", "body");
  return webhooks::delivery_rows(body.bytes());
}

const binder::Operation kFunctions[] = {
    {"verify_challenge",
     {{"query", &kQuery}, {"verify_token", &binder::kTextOrNone}},
     "Answers Meta's subscription handshake (the GET request on the callback URL).\n\n"
     "Returns the query's \"hub.challenge\" unchanged when \"hub.mode\" is \"subscribe\" and\n"
     "\"hub.verify_token\" equals verify_token (compared in constant time); None otherwise,\n"
     "also when verify_token is empty. Answer None with 403 and a text with exactly that text\n"
     "as a plain-text body.",
     nullptr, verify_challenge, "Any | None"},
    {"verify_request",
     {{"app_secret", &binder::kText}, {"body", &kBody}, {"headers", &kHeaders}},
     "Checks the X-Hub-Signature-256 header of a delivery against the app secret.\n\n"
     "body is the raw request body (bytes, before any JSON parsing); headers is the request's\n"
     "header mapping (case-insensitive, or a plain dict, where \"X-Hub-Signature-256\" and then\n"
     "\"x-hub-signature-256\" are tried). Returns corvane.crypto.verify_signature's verdict;\n"
     "a missing header gives False there. TypeError for a non-str app_secret or a str body.",
     nullptr, verify_request, "bool"},
    {"parse_events",
     {{"payload", &kPayload}},
     "Splits a decoded delivery into WebhookEvent records, lazily.\n\n"
     "Events come entry by entry; within an entry all \"changes\", then all \"messaging\" items\n"
     "(field \"messages\"), then all \"standby\" items (field \"messages_standby\"). Each event\n"
     "is built when asked for. A payload, entry, change or messaging/standby item that is not\n"
     "a dict, and an \"entry\", \"changes\", \"messaging\" or \"standby\" member that is truthy\n"
     "but not a list, raise TypeError when iteration reaches them, after the events before\n"
     "were delivered.",
     nullptr, parse_events, "Iterator[WebhookEvent]"},
    {"dedupe_key",
     {{"event", &kEvent}},
     "The stable de-duplication key of a WebhookEvent.\n\n"
     "\"object_type:field:ID\" with ID the value's first truthy leadgen_id, mid, comment_id,\n"
     "media_id or post_id, else its message.mid; otherwise \"object_type:field:object_id:time:\"\n"
     "followed by the first 32 hex digits of the SHA-256 of the value serialised with sorted\n"
     "keys (as json.dumps(value, sort_keys=True, ensure_ascii=False) writes it).",
     nullptr, dedupe_key, "str"},
    {"_delivery_rows",
     {{"body", &kBody}},
     "The rows a receiver records for a verified delivery's raw body, or None.\n\n"
     "One tuple (key, object_type, field, page_id, leadgen_id, value) per event, in\n"
     "parse_events' order, value written as json.dumps(value, ensure_ascii=False,\n"
     "separators=(\",\", \":\")) writes it. None when the body is for json.loads to judge: text\n"
     "that is not plainly UTF-8 JSON (lone surrogate escapes, NaN, numbers beyond 64-bit\n"
     "integers or doubles, deep nesting) or no JSON object. TypeError as parse_events.",
     nullptr, delivery_rows, "list[tuple[str, str, str, str | None, str | None, str]] | None"},
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
  corvane::binder::add_functions<kFunctions>(m);
  // The functions' table as data: a test holds the stub to it.
  py::dict operations;
  operations[""] = corvane::binder::describe<kFunctions>();
  m.attr("_OPERATIONS") = operations;
}
