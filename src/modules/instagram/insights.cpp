// Account statistics: daily metrics over a date range (clamped to what the platform accepts)
// and follower demographics, one breakdown per request, a refused one recorded, not raised.
#include <algorithm>

#include "modules/instagram/internal.hpp"

namespace corvane::instagram {
namespace {

// _flatten: the platform's nested breakdown answer as {"25-34 / F": 120, ...}.
py::dict flatten(py::handle data) {
  py::dict flat;
  for (py::handle item : items_of(member(data, "data"))) {
    py::object total = member(item, "total_value");
    for (py::handle breakdown : items_of(member(total, "breakdowns"))) {
      for (py::handle result : items_of(member(breakdown, "results"))) {
        py::list parts;
        for (py::handle value : items_of(member(result, "dimension_values"))) {
          parts.append(pyutil::text_form(value));
        }
        // A repeated key keeps its first position and takes the later value.
        flat[py::str(" / ").attr("join")(parts)] = member(result, "value");
      }
    }
  }
  return flat;
}

// ---- insights ----

py::object date_type() { return py::module_::import("datetime").attr("date"); }

// since and until: a calendar date (a datetime counts by its date) or None.
const binder::Kind kDay{"datetime.date | None", [](py::handle value, const char* operation,
                                                   const char* parameter) -> py::object {
  if (!value.is_none() && !py::isinstance(value, date_type())) {
    binder::wrong_type(value, operation, parameter, texts::kDay);
  }
  return py::reinterpret_borrow<py::object>(value);
}};

long day_number(py::handle date) { return date.attr("toordinal")().cast<long>(); }

py::object iso_date(long day) { return date_type().attr("fromordinal")(day).attr("isoformat")(); }

Task<py::object> insights_task(py::object self, Args args) {
  // The platform refuses a range ending in the future or longer than 30 days: the range is
  // cut here so that the caller's error never reaches it. Today is the host's local date.
  const long today = day_number(date_type().attr("today")());
  const long last = args[3].is_none() ? today : std::min(day_number(args[3]), today);
  long first = args[2].is_none() ? last - 29 : day_number(args[2]);
  if (last - first > 30) first = last - 30;
  const bridge::Rooted<> since = iso_date(first), until = iso_date(last);
  py::object call;
  {
    py::dict query;
    // The platform retired metrics before (profile_views, website_clicks), and one retired
    // metric fails the whole request: the list is the policy's, read at every call.
    query["metric"] = pyutil::metric_list("IG_ACCOUNT_INSIGHTS");
    query["period"] = "day";
    query["metric_type"] = "total_value";
    query["since"] = since;
    query["until"] = until;
    call = graph::get(self, graph::edge(self, account_node(self, args[1]), "insights"), args[0],
                      std::move(query));
  }
  py::object data = graph::require_json(self, co_await std::move(call));
  py::dict metrics;
  for (py::handle item : items_of(member(data, "data"))) {
    py::object name = member(item, "name");
    if (name.is_none()) answer_error(self, graph::texts::kNoInsightName, data);
    metrics[name] = member(member(item, "total_value"), "value");
  }
  py::dict result;
  result["since"] = since;
  result["until"] = until;
  result["metrics"] = metrics;
  co_return result;
}

// ---- demographics ----

Task<py::object> demographics_task(py::object self, Args args) {
  bridge::Rooted<> url = graph::edge(self, account_node(self, args[1]), "insights");
  bridge::Rooted<py::dict> recorded;
  // Walked by index: a range-for's hidden iterator would hold the items across the waits.
  const bridge::Rooted<py::tuple> breakdowns = py::tuple(constant("_DEMOGRAPHIC_BREAKDOWNS"));
  for (size_t i = 0; i < breakdowns.size(); ++i) {
    const bridge::Rooted<> breakdown = breakdowns[i];
    py::dict query;
    query["metric"] = "follower_demographics";
    query["period"] = "lifetime";
    query["metric_type"] = "total_value";
    query["breakdown"] = breakdown;
    query["timeframe"] = "this_month";
    // Typically an account under 100 followers: the platform withholds demographics.
    Task<graph::Tolerated> asking =
        graph::get_tolerating_refusal(self, url, args[0], std::move(query));
    graph::Tolerated answer = co_await std::move(asking);
    py::dict entry;
    if (answer.refusal) {
      entry["available"] = py::bool_(false);
      entry["reason"] = answer.refusal.attr("message");
    } else {
      entry["available"] = py::bool_(true);
      entry["values"] = flatten(answer.data);
    }
    recorded[breakdown] = entry;
  }
  co_return recorded;
}

}  // namespace

const binder::Operation kInsightsOperations[] = {
    {"insights",
     {kToken, kIgUserId, {"since", &kDay, "None", true}, {"until", &kDay, "None", true}},
     "The account's daily metrics summed over a date range, as {'since', 'until', "
     "'metrics': {name: total}}. until defaults to today and never lies after it; since "
     "defaults to until minus 29 days; a range over 30 days keeps its last 30. The dates "
     "returned (YYYY-MM-DD) are the ones sent. The metric list comes from the policy "
     "(IG_ACCOUNT_INSIGHTS).",
     insights_task},
    {"demographics",
     {kToken, kIgUserId},
     "Follower demographics per breakdown ('age,gender', 'city', 'country'), each "
     "{'available': True, 'values': _flatten(answer)} or, when the platform refuses it "
     "(e.g. under 100 followers), {'available': False, 'reason': message}. Three requests, "
     "one after another.",
     demographics_task},
};
const binder::MethodGroup add_insights_methods = binder::group<kInsightsOperations, "Instagram">;

namespace {

const binder::Kind kAnswer{"dict[str, Any]", [](py::handle value, const char* operation,
                                                  const char* parameter) -> py::object {
  if (!PyDict_Check(value.ptr())) binder::wrong_type(value, operation, parameter, "a dict");
  return py::reinterpret_borrow<py::object>(value);
}};

const binder::Operation kModuleFunctions[] = {
    {"_flatten",
     {{"data", &kAnswer}},
     "A follower-demographics answer as one flat dict: the dimension values of each result "
     "joined with ' / ' ('25-34 / F') mapped to its value; a later result of the same key "
     "wins. {} for an answer without data.",
     nullptr,
     [](py::object, Args args) -> py::object { return flatten(args[0]); }},
};

}  // namespace

py::tuple add_module_functions(py::module_ module) {
  binder::add_functions<kModuleFunctions>(module);
  return binder::describe<kModuleFunctions>();
}

}  // namespace corvane::instagram
