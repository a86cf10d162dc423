// Graph batch requests: the `batch` operation of the Graph clients.
//
// Rules, in the order a batch meets them:
//  1. every request is checked and written as the platform reads an operation before anything
//     is sent: method, relative_url (path and query, the operation's own token and its
//     appsecret_proof in the query), body (form-encoded), name, depends_on and
//     omit_response_on_success (sent false unless the caller asks otherwise: a null answer then
//     means only "not run");
//  2. the operations go in calls of at most 50, cut where no depends_on or {result=...}
//     reference crosses (core/batch.hpp); a reference no cut can keep is refused;
//  3. each call is POST /vX.Y/ with the form field `batch` and the batch's token (the fallback
//     of every operation) in the query, through request(): a call of GET operations only is
//     retried as a GET would be, any other only when it certainly took no effect. A call that
//     fails as a whole puts its error in each of its operations' slots;
//  4. each answer slot becomes what the same request alone would have given: the decoded JSON,
//     or the error _parse_error makes of its status and body, with the masked URL of the
//     operation, every secret of the operation and of the batch masked, and the wait of a
//     throttle read from the operation's own headers. An operation failing inside a successful
//     call is reported in its slot and never sent again;
//  5. a null slot is a NotRunError saying why, when known (an operation it refers to failed).
#include "modules/graph_batch.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "core/batch.hpp"
#include "core/mask.hpp"
#include "core/query.hpp"
#include "modules/graph_client.hpp"
#include "modules/graph_texts.hpp"
#include "py/errors.hpp"
#include "py/masking.hpp"
#include "py/names.hpp"
#include "py/owned.hpp"
#include "py/values.hpp"

namespace corvane::graph {
namespace {

using pyutil::member;
using pyutil::truthy;

// Calls of one batch in flight at once.
constexpr long kCallsInFlight = 4;

std::string where(std::size_t index, const char* key = nullptr) {
  std::string out = "requests[" + std::to_string(index) + "]";
  if (key != nullptr) out += std::string("['") + key + "']";
  return out;
}

[[noreturn]] void wrong_type(const char* function, const std::string& name, const char* what,
                             py::handle value) {
  binder::wrong_type(value, function, name.c_str(), what);
}

[[noreturn]] void refuse(const py::str& message) {
  PyErr_SetObject(PyExc_ValueError, message.ptr());
  throw py::error_already_set();
}

// The form encoding of a mapping's members (None values dropped), result references kept.
std::string encode_members(py::handle mapping) {
  std::string out;
  for (py::handle item : pyutil::owned<py::list>(PyDict_Items(mapping.ptr()))) {
    py::object value = item[py::int_(1)];
    if (value.is_none()) continue;
    if (!out.empty()) out.push_back('&');
    core::encode_keeping_references(out, pyutil::utf8(pyutil::wire_text(item[py::int_(0)])));
    out.push_back('=');
    core::encode_keeping_references(out, pyutil::utf8(pyutil::wire_text(value)));
  }
  return out;
}

py::dict mapping_arg(py::handle value, const char* function, const std::string& name) {
  if (value.is_none()) return py::dict();
  if (!PyDict_Check(value.ptr())) wrong_type(function, name, texts::kDictOrNone, value);
  return pyutil::copy_dict(value);
}

py::object optional_text(py::handle value, const char* function, const std::string& name) {
  if (value.is_none()) return py::none();
  if (!PyUnicode_Check(value.ptr()) || PyUnicode_GET_LENGTH(value.ptr()) == 0) {
    wrong_type(function, name, texts::kNonEmptyTextOrNone, value);
  }
  return py::reinterpret_borrow<py::object>(value);
}

constexpr const char* kKeys[] = {"method", "path",  "params", "body", "name",
                                 "depends_on", "token", "omit_response_on_success"};

// ---- the answer of one operation ----

// The operation's body decoded as request() decodes one: None when empty, {"raw": text} when
// not JSON.
py::object decoded_body(py::handle body) {
  if (!PyUnicode_Check(body.ptr())) return py::reinterpret_borrow<py::object>(body);
  if (!truthy(py::str(body).attr("strip")())) return py::none();
  static pyutil::Immortal loads;
  if (!loads) loads = pyutil::Immortal(py::module_::import("json").attr("loads"));
  try {
    return loads.get()(body);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_RecursionError)) throw;
  }
  py::dict raw;
  raw["raw"] = body;
  return raw;
}

// The operation's headers, [{"name": ..., "value": ...}, ...], as a dict.
py::dict headers_of(py::handle slot) {
  py::dict out;
  py::object listed = member(slot, "headers");
  if (!PyList_Check(listed.ptr())) return out;
  for (py::handle header : listed) {
    py::object name = member(header, "name");
    py::object value = member(header, "value");
    if (PyUnicode_Check(name.ptr()) && PyUnicode_Check(value.ptr())) out[name] = value;
  }
  return out;
}

py::object retry_after(const py::dict& headers) {
  static pyutil::Immortal read, namespace_type;
  if (!read) {
    read = pyutil::Immortal(py::module_::import("corvane.http").attr("_retry_after"));
    namespace_type = pyutil::Immortal(py::module_::import("types").attr("SimpleNamespace"));
  }
  return read.get()(namespace_type.get()(py::arg("headers") = headers));
}

struct Call {
  std::string base_url;     // "https://graph.facebook.com/vX.Y/"
  pyutil::Secrets secrets;  // the batch's token and proof and those of every operation in it
};

py::object not_run(py::handle self, const Call& call, const std::string& relative_url,
                   py::handle failed_name) {
  py::dict fields;
  fields["provider"] = py::getattr(self, "provider", py::none());
  fields["url"] = py::str(core::mask_secrets(call.base_url + relative_url));
  py::str message =
      failed_name ? py::str(texts::kNotRunAfter).format(failed_name) : py::str(texts::kNotRun);
  return pyutil::make_error("NotRunError", message, fields);
}

// What the operation's slot holds, as the same request alone would have given it.
py::object slot_result(py::handle self, py::handle slot, py::handle meta, const Call& call,
                       py::handle batch_token, const py::set& failed) {
  const std::string relative_url(pyutil::utf8(meta[py::int_(0)]));
  py::object op_token = meta[py::int_(1)];
  if (slot.is_none()) {
    if (truthy(meta[py::int_(2)])) return py::none();  // omitted on success, as asked
    py::handle failed_name;
    for (py::handle name : meta[py::int_(3)]) {
      if (PySet_Contains(failed.ptr(), name.ptr()) == 1) {
        failed_name = name;
        break;
      }
    }
    return not_run(self, call, relative_url, failed_name);
  }
  py::dict headers = headers_of(slot);
  record_operation_usage(self, op_token.is_none() ? py::handle(batch_token) : op_token, headers);
  py::object code = member(slot, "code");
  py::object body = decoded_body(member(slot, "body"));
  const bool integer = PyLong_Check(code.ptr()) && !PyBool_Check(code.ptr());
  if (integer && code.cast<long>() < 400) return body;
  py::object error = py::getattr(self, pyutil::name<"_parse_error">())(code, body);
  pyutil::require_exception(error, "_parse_error");
  error.attr("url") = py::str(core::mask_secrets(call.base_url + relative_url));
  // Any secret of the call: an answer may quote another operation's request.
  pyutil::mask_message(error, call.secrets);
  pyutil::mask_payload(error, call.secrets);
  if (pyutil::is_kind(error, "RateLimitError")) error.attr("retry_after") = retry_after(headers);
  return error;
}

// One call of at most 50 operations: a list of their results.
bridge::Task<py::object> call_task(py::object self, py::object url, py::object params,
                                   py::list wire, py::list meta, py::object limiter) {
  bridge::LockGuard permit;
  {
    bridge::Task<py::object> acquiring = bridge::LockGuard::acquire(std::move(limiter), permit);
    co_await std::move(acquiring);
  }
  bool only_get = true;
  for (py::handle op : wire) {
    only_get = only_get && py::str(op["method"]).equal(py::str("GET"));
  }
  bridge::Rooted<py::dict> data;
  data["batch"] = pyutil::wire_text(wire);
  data["include_headers"] = py::str("true");
  Call call;
  call.base_url = std::string(pyutil::utf8(url));
  for (const char* key : {"access_token", "appsecret_proof"}) {
    py::object value = member(params, key);
    if (PyUnicode_Check(value.ptr())) call.secrets.known.emplace_back(pyutil::utf8(value));
  }
  for (py::handle m : meta) call.secrets.add_url(pyutil::utf8(m[py::int_(0)]));
  bridge::Rooted<> answer;
  bridge::Rooted<> failure;
  try {
    // Operations with tokens of their own count against those tokens' budgets: a blocked one
    // holds the call (or fails it unsent), as it would hold that request alone.
    py::object throttle = py::getattr(self, "throttle", py::none());
    if (!throttle.is_none()) {
      double wait = 0;
      for (py::handle op : wire) {
        const auto token = core::query_value(pyutil::utf8(op["relative_url"]), "access_token");
        if (!token) continue;
        wait = std::max(wait, throttle.attr("_wait_for")(py::str(*token), self, url)
                                  .cast<double>());
      }
      if (wait > 0) co_await bridge::sleep(wait);
    }
    py::object request = py::getattr(self, pyutil::name<"request">());
    py::object sending = only_get ? request("POST", url, py::arg("params") = params,
                                            py::arg("data") = data, py::arg("idempotent") = true)
                                  : request("POST", url, py::arg("params") = params,
                                            py::arg("data") = data);
    answer = co_await std::move(sending);
  } catch (py::error_already_set& e) {
    if (!pyutil::is_kind(e, "CorvaneError")) throw;
    failure = e.value();
  }
  const std::size_t n = py::len(wire);
  if (!failure && (!PyList_Check(answer.ptr()) || py::len(answer) != n)) {
    py::dict fields;
    fields["provider"] = py::getattr(self, "provider", py::none());
    fields["url"] = py::str(core::mask_secrets(call.base_url));
    fields["payload"] = answer;
    failure = pyutil::make_error("ApiError", py::str(texts::kBatchAnswerShape), fields);
  }
  py::list results;
  if (failure) {
    // The operations' own tokens may be quoted back in an error of the whole call.
    pyutil::mask_message(failure, call.secrets);
    pyutil::mask_payload(failure, call.secrets);
    for (std::size_t i = 0; i < n; ++i) results.append(failure);
    co_return results;
  }
  py::set failed;
  for (std::size_t i = 0; i < n; ++i) {
    py::object op = wire[i];
    py::object result = slot_result(self, answer[py::int_(i)], meta[i], call,
                                    member(params, "access_token"), failed);
    py::object name = member(op, "name");
    if (PyExceptionInstance_Check(result.ptr()) && !name.is_none()) failed.add(name);
    results.append(result);
  }
  co_return results;
}

// The requests of a batch: a list or tuple, each of its dicts checked by plan_batch.
py::object convert_requests(py::handle value, const char* operation, const char* parameter) {
  if (!PyList_Check(value.ptr()) && !PyTuple_Check(value.ptr())) {
    binder::wrong_type(value, operation, parameter, texts::kListOfDicts);
  }
  return py::reinterpret_borrow<py::object>(value);
}
const binder::Kind kRequests{"Sequence[BatchRequest]", convert_requests};

py::object batch_now(py::object self, binder::Args args) {
  // Batch is a feature of graph.facebook.com: the Instagram-login host has none.
  static pyutil::Immortal instagram_graph;
  if (!instagram_graph) {
    instagram_graph =
        pyutil::Immortal(py::module_::import("corvane.endpoints").attr("InstagramGraph"));
  }
  if (py::isinstance(py::getattr(self, "graph", py::none()), instagram_graph.get())) {
    pyutil::raise_error("ConfigurationError", py::str(texts::kNoBatch));
  }
  BatchPlan plan = plan_batch(self, args[0], "batch");
  // Planned at the call: a malformed request is refused before a coroutine exists.
  return bridge::as_coroutine(run_batch(self, args[1], plan.wire, plan.meta, plan.sizes),
                              "GraphClient.batch");
}

const binder::Operation kBatch[] = {
    {"batch",
     {{"requests", &kRequests}, {"token", &binder::kTextOrNone}},
     "Sends many Graph requests in batch calls of at most 50 operations and returns their "
     "answers in the order given. requests: a list of dicts with 'path' (relative, without host "
     "or version; may carry a query) and optionally 'method' ('GET', 'POST' or 'DELETE'; GET by "
     "default), 'params' (query values), 'body' (form values of a POST), 'name', 'depends_on' "
     "(the name of an earlier request), 'token' (the request's own token; its appsecret_proof "
     "is added) and 'omit_response_on_success'. A later request reads an earlier named one's "
     "answer through '{result=NAME:$.path}' in its path, params or body. token: the batch's "
     "token, used by every request without its own. Each element of the list is the decoded "
     "answer, or the corvane.errors exception the same request alone would have raised "
     "(returned, not raised): NotRunError for a request the platform did not run, None for an "
     "answer omitted on success. Requests are split where no reference crosses; a reference "
     "that no split into calls of 50 keeps inside one call raises ValueError before anything is "
     "sent. A call of GET requests only is retried like a GET; a request that failed inside a "
     "call is never sent again.",
     nullptr, batch_now, nullptr, false, true},
};

}  // namespace

void record_operation_usage(py::handle client, py::handle token, const py::dict& headers) {
  // Each operation counts against the budgets on its own: its headers feed the client's
  // Throttle as a single request's answer would.
  py::object throttle = py::getattr(client, "throttle", py::none());
  if (throttle.is_none()) return;
  throttle.attr("_observe")(headers, py::arg("token") = token, py::arg("client") = client);
}

BatchPlan plan_batch(py::handle self, py::handle requests, const char* function) {
  // `requests` is a list or tuple already: its kind checked it at the call.
  BatchPlan plan;
  std::vector<core::BatchOp> ops;
  std::size_t index = 0;
  for (py::handle request : requests) {
    if (!PyDict_Check(request.ptr())) wrong_type(function, where(index), texts::kDict, request);
    for (auto [key, value] : py::reinterpret_borrow<py::dict>(request)) {
      (void)value;
      bool known = false;
      for (const char* name : kKeys) known = known || py::str(name).equal(key);
      if (!known) refuse(py::str(texts::kUnknownKey).format(function, where(index), key));
    }
    py::object method_value = member(request, "method", py::str("GET"));
    if (!PyUnicode_Check(method_value.ptr())) {
      wrong_type(function, where(index, "method"), texts::kText, method_value);
    }
    py::str method = py::str(method_value.attr("upper")());
    const std::string_view verb = pyutil::utf8(method);
    if (verb != "GET" && verb != "POST" && verb != "DELETE") {
      binder::wrong_value(method_value, function, where(index, "method").c_str(),
                          texts::kMethods);
    }
    py::object path = member(request, "path");
    if (!PyUnicode_Check(path.ptr())) wrong_type(function, where(index, "path"), texts::kText, path);
    const std::string_view path_text = pyutil::utf8(path);
    if (path_text.empty() || path_text.find("://") != std::string_view::npos ||
        path_text.find('#') != std::string_view::npos) {
      binder::wrong_value(path, function, where(index, "path").c_str(),
                          texts::kRelativePath);
    }
    py::dict params = mapping_arg(member(request, "params"), function, where(index, "params"));
    py::dict body = mapping_arg(member(request, "body"), function, where(index, "body"));
    if (!body.empty() && verb != "POST") {
      refuse(py::str(texts::kBodyWithoutPost).format(function, where(index, "body")));
    }
    py::object name = optional_text(member(request, "name"), function, where(index, "name"));
    py::object depends_on =
        optional_text(member(request, "depends_on"), function, where(index, "depends_on"));
    py::object op_token = binder::text_or_none(member(request, "token"), function,
                                       where(index, "token").c_str());
    py::object omit_value = member(request, "omit_response_on_success", py::bool_(false));
    if (!PyBool_Check(omit_value.ptr())) {
      wrong_type(function, where(index, "omit_response_on_success"), texts::kBool, omit_value);
    }
    // The operation's own token and proof go in its query, after the caller's members.
    py::dict query = sign(self, op_token, params);
    const std::string relative = core::relative_url(path_text, encode_members(query));
    const std::string encoded_body = encode_members(body);

    core::BatchOp op;
    if (!name.is_none()) op.name = pyutil::utf8(name);
    if (!depends_on.is_none()) op.refers_to.emplace_back(pyutil::utf8(depends_on));
    for (std::string& ref : core::result_references(relative)) op.refers_to.push_back(ref);
    for (std::string& ref : core::result_references(encoded_body)) op.refers_to.push_back(ref);
    py::list referred;
    for (const std::string& ref : op.refers_to) referred.append(py::str(ref));
    ops.push_back(std::move(op));

    py::dict wire;
    wire["method"] = method;
    wire["relative_url"] = py::str(relative);
    if (!encoded_body.empty()) wire["body"] = py::str(encoded_body);
    if (!name.is_none()) wire["name"] = name;
    if (!depends_on.is_none()) wire["depends_on"] = depends_on;
    wire["omit_response_on_success"] = omit_value;
    plan.wire.append(wire);
    plan.meta.append(py::make_tuple(py::str(relative), op_token, omit_value, referred));
    ++index;
  }
  const core::BatchSplit split = core::split_batch(ops);
  if (split.refused) {
    const char* form = split.unknown ? texts::kUnknownReference : texts::kSplitReference;
    refuse(py::str(form).format(function, where(split.index), split.name, core::kBatchLimit,
                                core::kBatchLimit));
  }
  for (std::size_t size : split.sizes) plan.sizes.append(py::int_(size));
  return plan;
}

bridge::Task<py::object> run_batch(py::object self, py::object token, py::list wire,
                                   py::list meta, py::list sizes) {
  bridge::Rooted<py::list> results;
  if (sizes.empty()) co_return results;
  bridge::Rooted<py::list> calls;
  {
    py::object url = py::str(urls(self).attr("url")(py::str(""))) + py::str("/");
    py::object params = sign(self, token, py::dict());
    py::object limiter = py::module_::import("asyncio").attr("Semaphore")(kCallsInFlight);
    std::size_t start = 0;
    for (py::handle size_value : sizes) {
      const std::size_t size = size_value.cast<std::size_t>();
      py::slice part(static_cast<py::ssize_t>(start), static_cast<py::ssize_t>(start + size), 1);
      calls.append(bridge::as_coroutine(call_task(self, url, params, py::list(wire[part]),
                                                  py::list(meta[part]), limiter),
                                        "GraphClient.batch.<locals>.call"));
      start += size;
    }
  }
  py::object waiting = py::module_::import("asyncio").attr("gather")(*calls);
  calls = py::list();
  bridge::Rooted<> answers = co_await std::move(waiting);
  for (py::handle part : answers) {
    for (py::handle result : part) results.append(result);
  }
  co_return results;
}

const binder::MethodGroup add_batch_methods = binder::group<kBatch, "GraphClient">;

}  // namespace corvane::graph
