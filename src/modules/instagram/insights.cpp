// Account statistics: daily metrics over a date range (clamped to what the platform accepts)
// and follower demographics, one breakdown per request, a refused one recorded, not raised.
#include <string>

#include "modules/instagram/internal.hpp"
#include "py/errors.hpp"
#include "py/fields.hpp"
#include "py/values.hpp"

namespace corvane::instagram {

py::dict flatten(py::handle data) {
  py::dict flat;
  for (py::handle item : items_of(pyutil::member(data, "data"))) {
    py::object total = pyutil::member(item, "total_value");
    for (py::handle breakdown : items_of(pyutil::member(total, "breakdowns"))) {
      for (py::handle result : items_of(pyutil::member(breakdown, "results"))) {
        py::list parts;
        for (py::handle value : items_of(pyutil::member(result, "dimension_values"))) {
          parts.append(pyutil::text_form(value));
        }
        // A repeated key keeps its first position and takes the later value.
        flat[py::str(" / ").attr("join")(parts)] = pyutil::member(result, "value");
      }
    }
  }
  return flat;
}

namespace {

using pyutil::guarded;
using pyutil::member;
using pyutil::truthy;

// The platform retired metrics before (profile_views, website_clicks), and one retired
// metric fails the whole request: the list is the policy's, read at every call.
py::object account_metrics() { return pyutil::metric_list("IG_ACCOUNT_INSIGHTS"); }

// ---- insights ----

py::object date_type() { return py::module_::import("datetime").attr("date"); }

// A calendar date as its day number (a datetime counts by its date).
long day_number(py::handle value, const char* name) {
  if (!py::isinstance(value, date_type())) {
    throw py::type_error(std::string("insights: ") + name + " must be a datetime.date or None, not " +
                         Py_TYPE(value.ptr())->tp_name);
  }
  return value.attr("toordinal")().cast<long>();
}

py::object iso_date(long day) { return date_type().attr("fromordinal")(day).attr("isoformat")(); }

Task<py::object> insights_task(py::object self, py::object node, py::object token,
                               py::object since_text, py::object until_text) {
  py::dict query;
  query["metric"] = account_metrics();
  query["period"] = "day";
  query["metric_type"] = "total_value";
  query["since"] = since_text;
  query["until"] = until_text;
  py::object url = self.attr("graph").attr("edge")(node, "insights");
  py::object data = co_await self.attr("_get")(url, token, **query);
  py::dict metrics;
  for (py::handle item : items_of(member(data, "data"))) {
    py::object name = member(item, "name");
    if (name.is_none()) answer_error(self, "Insight javobida `name` yo'q", data);
    metrics[name] = member(member(item, "total_value"), "value");
  }
  py::dict result;
  result["since"] = since_text;
  result["until"] = until_text;
  result["metrics"] = metrics;
  co_return result;
}

PyObject* insights(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "token", "ig_user_id", "since", "until", nullptr};
    PyObject *self = nullptr, *token = nullptr, *ig_user_id = Py_None, *since = Py_None,
             *until = Py_None;
    pyutil::parse_args(args, kwargs, "OO|$OOO:insights", keywords, &self, &token, &ig_user_id,
                       &since, &until);
    py::str node = account_node(self, ig_user_id, "insights");
    // The platform refuses a range ending in the future or longer than 30 days: the range is
    // cut here so that the caller's error never reaches it. Today is the host's local date.
    const long today = date_type().attr("today")().attr("toordinal")().cast<long>();
    long last = until == Py_None ? today : day_number(until, "until");
    if (last > today) last = today;
    long first = since == Py_None ? last - 29 : day_number(since, "since");
    if (last - first > 30) first = last - 30;
    return bridge::as_coroutine(
        insights_task(own(self), node, own(token), iso_date(first), iso_date(last)),
        "Instagram.insights");
  });
}

// ---- demographics ----

Task<py::object> demographics_task(py::object self, py::object node, py::object token) {
  py::object url = self.attr("graph").attr("edge")(node, "insights");
  py::dict recorded;
  for (py::handle breakdown : py::iter(constant("_DEMOGRAPHIC_BREAKDOWNS"))) {
    py::dict query;
    query["metric"] = "follower_demographics";
    query["period"] = "lifetime";
    query["metric_type"] = "total_value";
    query["breakdown"] = breakdown;
    query["timeframe"] = "this_month";
    // Typically an account under 100 followers: the platform withholds demographics.
    graph::Tolerated answer =
        co_await graph::get_tolerating_refusal(self, url, token, std::move(query));
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

PyObject* demographics(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "token", "ig_user_id", nullptr};
    PyObject *self = nullptr, *token = nullptr, *ig_user_id = Py_None;
    pyutil::parse_args(args, kwargs, "OO|$O:demographics", keywords, &self, &token,
                       &ig_user_id);
    py::str node = account_node(self, ig_user_id, "demographics");
    return bridge::as_coroutine(demographics_task(own(self), node, own(token)),
                                "Instagram.demographics");
  });
}

PyMethodDef insights_methods[] = {
    pyutil::method_def(
        "insights", insights,
        "insights(self, token, *, ig_user_id=None, since=None, until=None)\n--\n\n"
        "The account's daily metrics summed over a date range, as {'since', 'until', "
        "'metrics': {name: total}}. until defaults to today and never lies after it; since "
        "defaults to until minus 29 days; a range over 30 days keeps its last 30. The dates "
        "returned (YYYY-MM-DD) are the ones sent. The metric list comes from the policy "
        "(IG_ACCOUNT_INSIGHTS)."),
    pyutil::method_def(
        "demographics", demographics,
        "demographics(self, token, *, ig_user_id=None)\n--\n\n"
        "Follower demographics per breakdown ('age,gender', 'city', 'country'), each "
        "{'available': True, 'values': _flatten(answer)} or, when the platform refuses it "
        "(e.g. under 100 followers), {'available': False, 'reason': message}. Three requests, "
        "one after another."),
};

}  // namespace

void add_insights_methods(pyutil::ClassBuilder& cls) {
  for (auto& def : insights_methods) cls.method(&def);
}

}  // namespace corvane::instagram
