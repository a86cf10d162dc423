// corvane.http.Throttle: what the platforms' usage headers said, per app and business object,
// and the pacing of the requests that count against them (the rules are core/pacing's). One
// Throttle is shared by the clients of one app, so that what one learns the others respect.
#include <chrono>
#include <cmath>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/mask.hpp"
#include "core/pacing.hpp"
#include "core/query.hpp"
#include "core/usage.hpp"
#include "modules/http/internal.hpp"
#include "py/errors.hpp"
#include "py/names.hpp"
#include "py/owned.hpp"
#include "py/values.hpp"

// After Python.h (3.10's structmember.h does not include it).
#include <structmember.h>

namespace corvane::http {
namespace {

double steady_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
double unix_now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// ---- what the answers said, for the snapshot ----

struct ObjectFigures {
  core::AppUsage figures;
  std::optional<double> regain_at;  // Unix time
};
struct AdAccountFigures {
  core::AdAccountUsage figures;
  std::optional<double> reset_at;  // Unix time
};
// The last X-App-Usage / X-Business-Use-Case-Usage text read, with what it gave the pacing.
// Figures are whole percentages that move a point at a time, so most answers repeat the text
// before them word for word: such an answer is counted without parsing it again or touching
// the snapshot it left as it is.
struct LastRead {
  std::string text;
  std::vector<std::pair<core::PaceKey, double>> readings;
  bool reusable = false;  // false: never read, or it named a wait (its snapshot is time-bound)
};
struct UsageRecord {
  std::optional<core::AppUsage> app, page;
  std::map<std::string, std::map<std::string, ObjectFigures>> objects;
  std::map<std::string, AdAccountFigures> ad_accounts;
  LastRead last_app, last_business;
};

struct ThrottleObject {
  PyObject_HEAD
  core::Pacer* pacer;
  UsageRecord* record;
  std::size_t in_flight;
  PyObject* weakrefs;
};

PyTypeObject* throttle_type = nullptr;

}  // namespace

bool is_throttle(py::handle object) {
  return throttle_type && PyObject_TypeCheck(object.ptr(), throttle_type);
}

namespace {

ThrottleObject* as_throttle(py::handle object) {
  return reinterpret_cast<ThrottleObject*>(object.ptr());
}

std::optional<double> largest(std::optional<double> a, std::optional<double> b) {
  if (!a) return b;
  if (!b) return a;
  return std::max(*a, *b);
}

// The percent that decides a budget's pacing: the largest figure given.
std::optional<double> percent_of(const core::AppUsage& u) {
  return largest(largest(u.call_count, u.total_time), u.total_cputime);
}

py::object figure(std::optional<double> value) {
  if (!value) return py::none();
  const double v = *value;
  if (v == std::floor(v) && std::fabs(v) < 1e15) return py::int_(static_cast<long long>(v));
  return py::float_(v);
}

py::dict figures_dict(const core::AppUsage& u) {
  return py::dict(py::arg("call_count") = figure(u.call_count),
                  py::arg("total_time") = figure(u.total_time),
                  py::arg("total_cputime") = figure(u.total_cputime));
}

const char* state_name(core::PaceState state) {
  switch (state) {
    case core::PaceState::slow: return "slow";
    case core::PaceState::blocked: return "blocked";
    default: return "normal";
  }
}

// What `r` holds and what `pacer` paces (null: nothing), as BaseClient.usage shows it.
py::dict snapshot(const UsageRecord& r, const core::Pacer* pacer) {
  py::dict out;
  out["app"] = r.app ? py::object(figures_dict(*r.app)) : py::object(py::none());
  out["page"] = r.page ? py::object(figures_dict(*r.page)) : py::object(py::none());
  py::dict objects;
  for (const auto& [id, types] : r.objects) {
    py::dict by_type;
    for (const auto& [type, f] : types) {
      py::dict entry = figures_dict(f.figures);
      entry["regain_at"] = figure(f.regain_at);
      by_type[py::str(type)] = entry;
    }
    objects[py::str(id)] = by_type;
  }
  out["objects"] = objects;
  py::dict ads;
  for (const auto& [id, f] : r.ad_accounts) {
    py::dict entry;
    entry["acc_id_util_pct"] = figure(f.figures.util_pct);
    entry["reset_at"] = figure(f.reset_at);
    entry["ads_api_access_tier"] = f.figures.access_tier.empty()
                                       ? py::object(py::none())
                                       : py::object(py::str(f.figures.access_tier));
    ads[py::str(id)] = entry;
  }
  out["ad_accounts"] = ads;
  py::list paced;
  out["paced"] = paced;
  if (pacer == nullptr) return out;
  const double now = steady_now(), unix = unix_now();
  for (const auto& [key, entry] : pacer->entries()) {
    if (entry.state == core::PaceState::normal) continue;
    const bool blocked = entry.state == core::PaceState::blocked;
    py::dict item;
    item["id"] = py::str(key.id);
    item["type"] = py::str(key.type);
    item["state"] = py::str(state_name(entry.state));
    item["percent"] = figure(entry.percent);
    item["until"] = blocked ? py::object(py::float_(unix + entry.blocked_until - now))
                            : py::object(py::none());
    item["spacing"] = blocked ? py::object(py::none())
                              : py::object(py::float_(pacer->spacing(entry)));
    paced.append(item);
  }
  return out;
}

// ---- the Python type ----

double setting(PyObject* value, const char* name, double low, double high, const char* what) {
  if (PyBool_Check(value) || !PyNumber_Check(value)) {
    binder::wrong_type(value, "Throttle", name, what);
  }
  const double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  if (!(number > low && number <= high)) binder::wrong_value(value, "Throttle", name, what);
  return number;
}

const binder::Signature kNewSig{"Throttle", {}, 0, {"threshold", "window"}, {}, false};

PyObject* throttle_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return pyutil::guarded([&]() -> py::object {
    const binder::BoundArgs bound = binder::bind(kNewSig, args, kwargs);
    const py::handle threshold = bound.values[0], window = bound.values[1];
    const double t = threshold ? setting(threshold.ptr(), "threshold", 0, 100, texts::kPercentage)
                               : 90.0;
    const double w = window ? setting(window.ptr(), "window", 0, 1e9, texts::kPositiveSeconds)
                            : 3600.0;
    py::object self = pyutil::owned(type->tp_alloc(type, 0));
    ThrottleObject* o = as_throttle(self);
    o->pacer = new core::Pacer(t, w);
    o->record = new UsageRecord();
    o->in_flight = 0;
    return self;
  });
}

void throttle_dealloc(PyObject* self) {
  ThrottleObject* o = as_throttle(self);
  if (o->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  delete o->pacer;
  delete o->record;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* throttle_repr(PyObject* self) {
  const core::Pacer& p = *as_throttle(self)->pacer;
  return PyUnicode_FromFormat("Throttle(threshold=%S, window=%S)",
                              py::float_(p.threshold()).ptr(), py::float_(p.window()).ptr());
}

PyObject* get_threshold(PyObject* self, void*) {
  return PyFloat_FromDouble(as_throttle(self)->pacer->threshold());
}
PyObject* get_window(PyObject* self, void*) {
  return PyFloat_FromDouble(as_throttle(self)->pacer->window());
}
PyObject* get_usage(PyObject* self, void*) {
  const ThrottleObject* t = as_throttle(self);
  return pyutil::guarded([&] { return py::object(snapshot(*t->record, t->pacer)); });
}

PyGetSetDef throttle_getset[] = {
    {"threshold", get_threshold, nullptr,
     "The percentage of a budget at which its requests go one at a time.", nullptr},
    {"window", get_window, nullptr, "The budgets' rolling window, in seconds.", nullptr},
    {"usage", get_usage, nullptr,
     "A snapshot of what the answers said: see BaseClient.usage.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef throttle_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(ThrottleObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

constexpr const char* kThrottleDoc =
    "Throttle(*, threshold=90, window=3600)\n--\n\n"
    "Pacing from the Graph API's usage headers (X-App-Usage, X-Page-Usage, "
    "X-Business-Use-Case-Usage, X-Ad-Account-Usage) and from throttle answers, shared by every "
    "client given the same Throttle (give the clients of one app one Throttle).\n\n"
    "Before a request is sent, the budgets its token counted against in earlier answers are "
    "looked at. Below `threshold` percent nothing is done. At or above it, the budget's "
    "requests go one at a time, spaced so that the headroom left lasts one `window`. A budget "
    "at 100 %, with a wait to regain access, or answered with a throttle error is blocked: "
    "requests wait for its end when that is within the client's retry.max_retry_after, and "
    "otherwise raise RateLimitError with retry_after set, without being sent.";

PyType_Slot throttle_slots[] = {
    {Py_tp_methods, nullptr},  // the methods' table, made by make_throttle_class
    {Py_tp_new, reinterpret_cast<void*>(throttle_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(throttle_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(throttle_repr)},
    {Py_tp_getset, throttle_getset},
    {Py_tp_members, throttle_members},
    {Py_tp_doc, const_cast<char*>(kThrottleDoc)},
    {0, nullptr},
};

PyType_Spec throttle_spec = {
    "corvane.http.Throttle", sizeof(ThrottleObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, throttle_slots,
};

// ---- logging ----

// The pacing's changes since the last call, logged on `client`'s logger (None: dropped).
void log_changes(py::handle client, core::Pacer& pacer) {
  std::vector<core::PaceChange> changes = pacer.take_changes();
  if (changes.empty() || client.is_none()) return;
  py::object log = client_logger(client);
  for (const core::PaceChange& c : changes) {
    const py::str id(c.key.id), type(c.key.type);
    switch (c.state) {
      case core::PaceState::slow:
        log.attr("warning")(
            "%s (%s): limitning %.0f%% i ishlatilgan; so'rovlar birma-bir, %.2fs oraliq bilan "
            "yuboriladi",
            id, type, c.percent, c.seconds);
        break;
      case core::PaceState::blocked:
        log.attr("warning")(
            "%s (%s): limitga yetildi; so'rovlar %.1fs yuborilmaydi", id, type, c.seconds);
        break;
      default:
        log.attr("info")("%s (%s): limitning %.0f%% i ishlatilgan; so'rovlar odatdagidek",
                         id, type, c.percent);
    }
  }
}

// The usage headers of one answer, each when the answer has it.
struct UsageTexts {
  std::optional<std::string_view> app, page, business, ad_account;
  std::vector<py::object> keep;  // what the views point into, when taken from a mapping
};

// aiohttp's answers keep their headers as they came, (name, value) byte pairs: one pass over
// them finds the four without a look-up (and its case-folding) per name. False when `raw` is
// not that shape; the first of a repeated header counts, as a mapping's look-up would give.
bool read_raw(py::handle raw, UsageTexts& out) {
  if (!PyTuple_CheckExact(raw.ptr())) return false;
  const Py_ssize_t count = PyTuple_GET_SIZE(raw.ptr());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* pair = PyTuple_GET_ITEM(raw.ptr(), i);
    if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2) return false;
    PyObject* name = PyTuple_GET_ITEM(pair, 0);
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    if (!PyBytes_CheckExact(name) || !PyBytes_CheckExact(value)) return false;
    const std::string_view n(PyBytes_AS_STRING(name), static_cast<std::size_t>(PyBytes_GET_SIZE(name)));
    if (n.size() < 11 || (n[0] != 'X' && n[0] != 'x')) continue;
    const std::string_view v(PyBytes_AS_STRING(value),
                             static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
    std::optional<std::string_view>* slot = nullptr;
    if (same_in_any_case(n, "x-app-usage")) slot = &out.app;
    else if (same_in_any_case(n, "x-page-usage")) slot = &out.page;
    else if (same_in_any_case(n, "x-business-use-case-usage")) slot = &out.business;
    else if (same_in_any_case(n, "x-ad-account-usage")) slot = &out.ad_account;
    if (slot != nullptr && !*slot) *slot = v;
  }
  return true;
}

// The value of a response header when the answer has it. aiohttp's headers answer `in` and
// look-ups without regard to case, by a name made once; a plain mapping is looked through by
// header_value.
template <pyutil::Literal Name>
std::optional<std::string_view> usage_header(py::handle headers, bool multidict,
                                             std::vector<py::object>& keep) {
  if (!multidict) {
    keep.push_back(header_value(headers, Name.text));
    return pyutil::utf8_if_text(keep.back());
  }
  const py::handle name = pyutil::name<Name>();
  const int has = PySequence_Contains(headers.ptr(), name.ptr());
  if (has <= 0) {
    if (has < 0) PyErr_Clear();
    return std::nullopt;
  }
  PyObject* value = PyObject_GetItem(headers.ptr(), name.ptr());
  if (value == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  keep.push_back(py::reinterpret_steal<py::object>(value));
  return pyutil::utf8_if_text(keep.back());
}

UsageTexts read_mapping(py::handle headers) {
  const bool multidict = !PyDict_Check(headers.ptr());
  UsageTexts out;
  out.app = usage_header<"X-App-Usage">(headers, multidict, out.keep);
  out.page = usage_header<"X-Page-Usage">(headers, multidict, out.keep);
  out.business = usage_header<"X-Business-Use-Case-Usage">(headers, multidict, out.keep);
  out.ad_account = usage_header<"X-Ad-Account-Usage">(headers, multidict, out.keep);
  return out;
}

// "act_<digits>" of a request's path, the ad account an X-Ad-Account-Usage speaks of.
std::string ad_account_of(std::string_view url) {
  const auto query = url.find('?');
  const std::string_view path = url.substr(0, query);
  const auto at = path.find("/act_");
  if (at == std::string_view::npos) return "act";
  std::size_t end = at + 5;
  while (end < path.size() && path[end] >= '0' && path[end] <= '9') ++end;
  return std::string(path.substr(at + 1, end - at - 1));
}

// Counts a repeated text's readings again, as reading it anew would.
void replay(ThrottleObject* t, core::TokenPrint& print, const LastRead& last, double now) {
  for (const auto& [key, percent] : last.readings) {
    t->pacer->record(print, key, percent, std::nullopt, now, t->in_flight);
  }
}

// Records what an answer's usage headers say, in the snapshot and in the pacing of `print`'s
// budgets. `url`: the request's (the ad account of X-Ad-Account-Usage).
void record_answer(ThrottleObject* t, core::TokenPrint& print, const UsageTexts& texts,
                   std::string_view url, double now) {
  UsageRecord& record = *t->record;
  core::Pacer& pacer = *t->pacer;
  if (const auto text = texts.app) {
    LastRead& last = record.last_app;
    if (last.reusable && last.text == *text) {
      replay(t, print, last, now);
    } else if (const auto app = core::parse_app_usage(*text)) {
      record.app = *app;
      last = {std::string(*text), {}, true};
      if (const auto percent = percent_of(*app)) {
        last.readings.push_back({{"app", "app"}, *percent});
        replay(t, print, last, now);
      }
    }
  }
  if (const auto text = texts.page) {
    if (const auto page = core::parse_app_usage(*text)) {
      record.page = *page;
      // Tied to the Page token that was answered; its fingerprint is made only near the limit.
      const auto percent = percent_of(*page);
      if (percent && *percent >= 50) {
        pacer.record(print, {print.label(), "page"}, *percent, std::nullopt, now,
                     t->in_flight);
      }
    }
  }
  if (const auto text = texts.business) {
    LastRead& last = record.last_business;
    if (last.reusable && last.text == *text) {
      replay(t, print, last, now);
    } else {
      // An object and type may repeat: the largest figures count.
      std::map<core::PaceKey, std::pair<double, std::optional<double>>> readings;
      std::set<core::PaceKey> seen;
      bool timed = false;
      for (const core::ObjectUsage& object : core::parse_business_usage(*text)) {
        for (const core::UseCaseUsage& use : object.use_cases) {
          std::optional<double> regain;
          if (use.regain_minutes && *use.regain_minutes > 0 &&
              std::isfinite(*use.regain_minutes * 60)) {
            regain = *use.regain_minutes * 60;
            timed = true;
          }
          const std::optional<double> regain_at =
              regain ? std::optional<double>(unix_now() + *regain) : std::nullopt;
          ObjectFigures& kept = record.objects[object.id][use.type];
          const core::AppUsage figures{use.call_count, use.total_time, use.total_cputime};
          if (seen.insert({object.id, use.type}).second) {
            kept = {figures, regain_at};
          } else {
            kept.figures = {largest(kept.figures.call_count, use.call_count),
                            largest(kept.figures.total_time, use.total_time),
                            largest(kept.figures.total_cputime, use.total_cputime)};
            kept.regain_at = largest(kept.regain_at, regain_at);
          }
          const auto percent = percent_of(figures);
          if (!percent && !regain) continue;
          auto& reading = readings[{object.id, use.type}];
          reading.first = std::max(reading.first, percent.value_or(0));
          reading.second = largest(reading.second, regain);
        }
      }
      last = {std::string(*text), {}, !timed};
      for (const auto& [key, reading] : readings) {
        pacer.record(print, key, reading.first, reading.second, now, t->in_flight);
        last.readings.push_back({key, reading.first});
      }
    }
  }
  if (const auto text = texts.ad_account) {
    if (const auto ad = core::parse_ad_account_usage(*text)) {
      const std::string id = ad_account_of(url);
      AdAccountFigures& kept = record.ad_accounts[id];
      kept.figures = *ad;
      kept.reset_at = ad->reset_seconds ? std::optional<double>(unix_now() + *ad->reset_seconds)
                                        : std::nullopt;
      if (ad->util_pct) {
        const std::optional<double> regain =
            *ad->util_pct >= 100 ? ad->reset_seconds : std::nullopt;
        pacer.record(print, {id, "ad_account"}, *ad->util_pct, regain, now, t->in_flight);
      }
    }
  }
}

py::object observe(py::object self, binder::Args args) {
  const std::string token = args[2].is_none() ? std::string() : std::string(pyutil::utf8(args[2]));
  core::TokenPrint print{std::string_view(token)};
  ThrottleObject* t = as_throttle(self);
  record_answer(t, print, read_mapping(args[0]), pyutil::utf8(args[1]), steady_now());
  log_changes(args[3], *t->pacer);
  return py::none();
}

// ---- one request's pacing ----

// The RateLimitError of a request not sent: its budget stays blocked (or its turn would come)
// later than the client waits.
[[noreturn]] void raise_refused(py::handle client, std::string_view url,
                                const core::PaceDecision& d) {
  const py::dict fields(py::arg("provider") = client.attr("provider"),
                        py::arg("url") = core::mask_secrets(url),
                        py::arg("retry_after") = d.seconds);
  pyutil::raise_error(
      "RateLimitError",
      py::str(texts::kHeldBack).format(d.key.id, d.key.type, d.seconds),
      fields);
}

}  // namespace

RequestPacing::RequestPacing(py::handle client, std::function<std::string()> token)
    : print_(std::move(token)) {
  py::object throttle = py::getattr(client, pyutil::name<"throttle">(), py::none());
  if (throttle.is_none()) return;
  if (!is_throttle(throttle)) binder::wrong_type(throttle, "request", "throttle", texts::kThrottle);
  throttle_ = std::move(throttle);
}

RequestPacing::~RequestPacing() {
  if (throttle_) give_back();
}

void RequestPacing::give_back() {
  ThrottleObject* t = as_throttle(throttle_);
  if (sent_) --t->in_flight;
  sent_ = false;
  if (held_.empty()) return;
  t->pacer->release(held_, steady_now());
  held_.clear();
}

std::optional<double> RequestPacing::admit(py::handle client, py::handle retry,
                                           std::string_view url) {
  if (!throttle_) return std::nullopt;
  ThrottleObject* t = as_throttle(throttle_);
  give_back();  // what an earlier attempt that got no answer held
  if (!t->pacer->quiet()) {
    const core::PaceDecision d =
        t->pacer->admit(print_, steady_now(), max_retry_after_of(retry), &held_);
    log_changes(client, *t->pacer);
    if (d.kind == core::PaceDecision::wait) {
      if (!d.blocked) return d.seconds;
      // A block is waited for once: if it is still there when the wait ends, it was lengthened
      // since (waited for again), or the clocks disagree (a host's or a test's own sleep), and
      // the platform is left to judge rather than asked again in a loop.
      const double end = steady_now() + d.seconds;
      if (end > waited_until_ + 0.001) {
        waited_until_ = end;
        return d.seconds;
      }
    }
    if (d.kind == core::PaceDecision::refuse) raise_refused(client, url, d);
  }
  ++t->in_flight;
  sent_ = true;
  return std::nullopt;
}

void RequestPacing::answered(py::handle client, py::handle response, std::string_view url) {
  if (!throttle_) return;
  ThrottleObject* t = as_throttle(throttle_);
  give_back();
  const double now = steady_now();
  UsageTexts texts;
  const py::object raw = py::getattr(response, pyutil::name<"raw_headers">(), py::none());
  if (!read_raw(raw, texts)) texts = read_mapping(response.attr(pyutil::name<"headers">()));
  record_answer(t, print_, texts, url, now);
  log_changes(client, *t->pacer);
}

void RequestPacing::waiting(double seconds) { waited_until_ = steady_now() + seconds; }

void RequestPacing::throttled(py::handle client, bool app_wide, double seconds) {
  if (!throttle_ || !(seconds > 0)) return;
  ThrottleObject* t = as_throttle(throttle_);
  const core::PaceKey key = app_wide ? core::PaceKey{"app", "app"}
                                     : core::PaceKey{print_.label(), "throttle"};
  t->pacer->throttled(print_, key, seconds, steady_now());
  log_changes(client, *t->pacer);
}

namespace {

py::object wait_for(py::object self, binder::Args args) {
  py::object token = args[0], client = args[1];
  ThrottleObject* t = as_throttle(self);
  if (t->pacer->quiet()) return py::float_(0.0);
  core::TokenPrint print{pyutil::utf8(token)};
  const double limit = max_retry_after_of(client.attr("retry"));
  const core::PaceDecision d = t->pacer->admit(print, steady_now(), limit, nullptr);
  log_changes(client, *t->pacer);
  if (d.kind == core::PaceDecision::refuse) raise_refused(client, pyutil::utf8(args[2]), d);
  return py::float_(d.kind == core::PaceDecision::wait ? d.seconds : 0.0);
}

const binder::Operation kThrottleMethods[] = {
    {"_observe",
     {{"headers", &binder::kAnything}, {"url", &binder::kText, "''"},
      {"token", &binder::kTextOrNone, "None"}, {"client", &binder::kAnything, "None"}},
     "Records an answer's usage headers (a mapping) as a request of `token` would (a Graph "
     "batch's operations, each with its own headers), logging changes on `client`'s logger.",
     nullptr, observe},
    {"_wait_for",
     {{"token", &binder::kText}, {"client", &binder::kAnything}, {"url", &binder::kText, "''"}},
     "The seconds a request of `token` from `client` should wait before it is sent (0.0: none), "
     "taking no slot; RateLimitError (masked `url`) when that is beyond the client's "
     "retry.max_retry_after. For requests that travel inside another (a Graph batch's "
     "operations with their own tokens).",
     nullptr, wait_for},
};

// BaseClient.usage: the snapshot of the client's throttle, an empty one for None.
py::object usage(py::object self, binder::Args) {
  const py::object throttle = py::getattr(self, pyutil::name<"throttle">(), py::none());
  if (throttle.is_none()) return snapshot(UsageRecord(), nullptr);
  if (!is_throttle(throttle)) binder::wrong_type(throttle, "usage", "throttle", texts::kThrottle);
  const ThrottleObject* t = as_throttle(throttle);
  return snapshot(*t->record, t->pacer);
}

const binder::Operation kUsage[] = {
    {.name = "usage",
     .params = {},
     .doc = "What the platform's usage headers said, as plain data (a UsageSnapshot): the app's "
            "figures, the older Page header's, each business object's figures by use case type "
            "with the Unix time access comes back (regain_at), the ad accounts', and the "
            "budgets being paced (state slow or blocked). The record is the client's "
            "Throttle's, shared with every client given the same Throttle; empty with "
            "throttle=None.",
     .now = usage,
     .as = binder::Operation::As::property},
};

}  // namespace

py::object make_throttle_class() {
  throttle_slots[0].pfunc = binder::type_methods<kThrottleMethods>("Throttle");
  py::object type = pyutil::owned(PyType_FromSpec(&throttle_spec));
  throttle_type = reinterpret_cast<PyTypeObject*>(type.ptr());
  Py_INCREF(throttle_type);  // held for the life of the process: requests check against it
  return type;
}

const binder::MethodGroup add_usage_property = binder::group<kUsage, "BaseClient">;

}  // namespace corvane::http
