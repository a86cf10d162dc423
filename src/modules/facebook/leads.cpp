// Facebook Lead Ads: a Page's lead forms, the leads of a form (optionally since a time), one
// lead by the leadgen_id of a webhook event, and the ad behind a lead.
#include "modules/facebook/internal.hpp"
#include "py/errors.hpp"
#include "py/values.hpp"

namespace corvane::facebook {
namespace {

using pyutil::guarded;
using pyutil::member;
using pyutil::own;
using pyutil::truthy;

// The leads time filter: exactly this text, no spaces, the number unquoted.
constexpr const char* kSinceFilter =
    R"([{"field":"time_created","operator":"GREATER_THAN","value":%d}])";

// ---- lead_forms ----

Task<py::object> lead_forms_task(py::object self, py::object page_id, py::object page_token) {
  py::object url = self.attr("graph").attr("edge")(page_id, "leadgen_forms");
  py::object fields = field_set("FB_LEADGEN_FORM");
  py::object items_call = self.attr("_list")(url, page_token, py::arg("fields") = fields);
  py::object items = co_await std::move(items_call);
  co_return records(state().lead_form.get(), items);
}

PyObject* lead_forms(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "page_id", "page_token", nullptr};
    PyObject *self = nullptr, *page_id = nullptr, *page_token = nullptr;
    pyutil::parse_args(args, kwargs, "OOO:lead_forms", keywords, &self, &page_id, &page_token);
    return bridge::as_coroutine(
        lead_forms_task(own(self), graph::node_id(page_id, "lead_forms", "page_id"),
                        graph::token(page_token, "lead_forms", "page_token")),
        "Facebook.lead_forms");
  });
}

// ---- leads ----

Task<py::object> leads_task(py::object self, py::object form_id, py::object page_token,
                            py::object since, py::object limit) {
  py::object url = self.attr("graph").attr("edge")(form_id, "leads");
  py::dict query;
  query["fields"] = field_set("FB_LEAD");
  if (truthy(since)) query["filtering"] = py::str(kSinceFilter).attr("__mod__")(since);
  py::object items_call =
      self.attr("_list")(url, page_token, py::arg("max_items") = limit, **query);
  py::object items = co_await std::move(items_call);
  co_return records(state().lead.get(), items);
}

PyObject* leads(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "form_id", "page_token", "since", "limit", nullptr};
    PyObject *self = nullptr, *form_id = nullptr, *page_token = nullptr;
    PyObject *since = Py_None, *limit = nullptr;
    pyutil::parse_args(args, kwargs, "OOO|$OO:leads", keywords, &self, &form_id, &page_token,
                       &since, &limit);
    // A float or a bool would be written into the filter as something else than was meant.
    if (since != Py_None && (PyBool_Check(since) || !PyLong_Check(since))) {
      throw py::type_error("leads: since must be an int (seconds since 1970) or None");
    }
    return bridge::as_coroutine(
        leads_task(own(self), graph::node_id(form_id, "leads", "form_id"),
                   graph::token(page_token, "leads", "page_token"),
                   own(since), limit ? graph::count(limit, "leads", "limit") : py::int_(200)),
        "Facebook.leads");
  });
}

// ---- iter_leads ----

// An async iterator over the form's leads as Lead records, one page held at a time.
PyObject* iter_leads(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "form_id", "page_token", "since", nullptr};
    PyObject *self = nullptr, *form_id = nullptr, *page_token = nullptr, *since = Py_None;
    pyutil::parse_args(args, kwargs, "OOO|O:iter_leads", keywords, &self, &form_id, &page_token,
                       &since);
    if (since != Py_None && (PyBool_Check(since) || !PyLong_Check(since))) {
      throw py::type_error("iter_leads: since must be an int (seconds since 1970) or None");
    }
    py::handle client(self);
    py::object url = client.attr("graph").attr("edge")(
        graph::node_id(form_id, "iter_leads", "form_id"), "leads");
    py::object token = graph::token(page_token, "iter_leads", "page_token");
    py::dict query;
    query["fields"] = field_set("FB_LEAD");
    if (truthy(since)) query["filtering"] = py::str(kSinceFilter).attr("__mod__")(own(since));
    return graph::iterate_signed(client, url, token, query,
                                 state().lead.get().attr("from_response"));
  });
}

// ---- lead ----

Task<py::object> lead_task(py::object self, py::object leadgen_id, py::object page_token) {
  py::object url = self.attr("graph").attr("node")(leadgen_id);
  py::object fields = field_set("FB_LEAD");
  py::object data_call = self.attr("_get")(url, page_token, py::arg("fields") = fields);
  py::object answer = co_await std::move(data_call);
  py::object data = graph::require_json(self, std::move(answer));
  co_return state().lead.get().attr("from_response")(data);
}

PyObject* lead(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "leadgen_id", "page_token", nullptr};
    PyObject *self = nullptr, *leadgen_id = nullptr, *page_token = nullptr;
    pyutil::parse_args(args, kwargs, "OOO:lead", keywords, &self, &leadgen_id, &page_token);
    return bridge::as_coroutine(
        lead_task(own(self), graph::node_id(leadgen_id, "lead", "leadgen_id"),
                  graph::token(page_token, "lead", "page_token")),
        "Facebook.lead");
  });
}

// ---- ad_context ----

py::object object_or_empty(py::handle value) {
  return truthy(value) ? py::reinterpret_borrow<py::object>(value) : py::dict();
}

// The flat ad context of an ad's answer (with its adset and campaign).
py::dict context_of(py::handle data) {
  py::object adset = object_or_empty(member(data, "adset"));
  py::object campaign = object_or_empty(member(data, "campaign"));
  py::dict context;
  context["ad_id"] = member(data, "id");
  context["ad_name"] = member(data, "name");
  context["adset_id"] = member(adset, "id");
  context["adset_name"] = member(adset, "name");
  context["campaign_id"] = member(campaign, "id");
  context["campaign_name"] = member(campaign, "name");
  context["objective"] = member(campaign, "objective");
  context["optimization_goal"] = member(adset, "optimization_goal");
  context["targeting"] = member(adset, "targeting");
  return context;
}

Task<py::object> ad_context_task(py::object self, py::object ad_id, py::object token) {
  if (!truthy(ad_id)) co_return py::dict();  // hosts call this for every lead, ad or not
  py::object url = self.attr("graph").attr("node")(ad_id);
  py::object fields = field_set("FB_AD_CONTEXT");
  py::dict query;
  query["fields"] = fields;
  // Without ads_management the platform refuses; the lead stays worth processing.
  graph::Tolerated answer =
      co_await graph::get_tolerating_refusal(self, url, token, std::move(query));
  if (answer.refusal) {
    // A warning: the lead is kept, but its campaign is lost, usually to a token without
    // ads_management (a Page token where the user's was needed).
    log_warning("Ad konteksti olinmadi (ad_id=%s): %s", ad_id, pyutil::text_form(answer.refusal));
    co_return py::dict();
  }
  co_return context_of(answer.data);
}

PyObject* ad_context(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "ad_id", "token", nullptr};
    PyObject *self = nullptr, *ad_id = nullptr, *token = nullptr;
    pyutil::parse_args(args, kwargs, "OOO:ad_context", keywords, &self, &ad_id, &token);
    py::object id = graph::text_or_none(ad_id, "ad_context", "ad_id");
    if (truthy(id)) id = graph::node_id(id, "ad_context", "ad_id");
    return bridge::as_coroutine(
        ad_context_task(own(self), id, graph::token(token, "ad_context", "token")),
                                "Facebook.ad_context");
  });
}

// ---- leads_with_context ----

// Leads and the ads behind them in Graph batches: each lead with the Page's token, its ad through
// a reference to the lead's ad_id with `ad_token` (ads_management), the pair in one call. A slot
// is (Lead, context) or the error the lead alone would have raised (its ad's throttle among
// them); an ad the platform refuses, or a lead without an ad, gives the context {} as
// ad_context does.
Task<py::object> leads_with_context_task(py::object self, py::list leadgen_ids,
                                         py::object page_token, py::object ad_token) {
  py::object asking;
  {
    py::list requests;
    py::object lead_fields = field_set("FB_LEAD");
    py::object ad_fields = field_set("FB_AD_CONTEXT");
    for (std::size_t i = 0; i < leadgen_ids.size(); ++i) {
      const py::str name = py::str("lead{}").format(i);
      py::dict lead_params, ad_params;
      lead_params["fields"] = lead_fields;
      ad_params["fields"] = ad_fields;
      py::dict lead;
      lead["name"] = name;
      lead["path"] = leadgen_ids[i];
      lead["params"] = lead_params;
      py::dict ad;
      ad["path"] = py::str("{{result={}:$.ad_id}}").format(name);
      ad["params"] = ad_params;
      if (!ad_token.is_none()) ad["token"] = ad_token;
      requests.append(lead);
      requests.append(ad);
    }
    asking = self.attr("batch")(requests, page_token);
  }
  bridge::Rooted<py::list> answers = co_await std::move(asking);
  py::list out;
  for (std::size_t i = 0; i < leadgen_ids.size(); ++i) {
    py::object lead = answers[2 * i];
    if (PyExceptionInstance_Check(lead.ptr())) {
      out.append(lead);
      continue;
    }
    py::object record = state().lead.get().attr("from_response")(graph::require_json(self, lead));
    py::object ad = answers[2 * i + 1];
    py::object context = py::dict();
    if (PyExceptionInstance_Check(ad.ptr())) {
      if (pyutil::is_kind(ad, "RateLimitError")) {  // as ad_context alone would raise
        out.append(ad);
        continue;
      }
      if (!pyutil::is_kind(ad, "ApiError")) pyutil::raise(ad);
      // Not run: the lead has no ad (an organic lead), nothing to regret.
      if (truthy(record.attr("ad_id")) && !pyutil::is_kind(ad, "NotRunError")) {
        log_warning("Ad konteksti olinmadi (ad_id=%s): %s", record.attr("ad_id"),
                    pyutil::text_form(ad));
      }
    } else if (truthy(record.attr("ad_id"))) {
      context = context_of(graph::require_json(self, ad));
    }
    out.append(py::make_tuple(record, context));
  }
  co_return out;
}

PyObject* leads_with_context(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "leadgen_ids", "page_token", "ad_token", nullptr};
    PyObject *self = nullptr, *leadgen_ids = nullptr, *page_token = nullptr;
    PyObject* ad_token = Py_None;
    pyutil::parse_args(args, kwargs, "OOO|$O:leads_with_context", keywords, &self, &leadgen_ids,
                       &page_token, &ad_token);
    py::list ids;
    for (py::handle id : graph::text_list(leadgen_ids, "leads_with_context", "leadgen_ids")) {
      ids.append(graph::node_id(id, "leads_with_context", "leadgen_ids"));
    }
    py::object ads = ad_token == Py_None
                         ? py::object(py::none())
                         : graph::token(ad_token, "leads_with_context", "ad_token");
    return bridge::as_coroutine(
        leads_with_context_task(own(self), ids,
                                graph::token(page_token, "leads_with_context", "page_token"),
                                ads),
        "Facebook.leads_with_context");
  });
}

PyMethodDef lead_methods[] = {
    pyutil::method_def("lead_forms", lead_forms,
                       "lead_forms(self, page_id, page_token)\n--\n\n"
                       "The Page's Lead Ads forms (at most 500), as LeadForm records."),
    pyutil::method_def(
        "leads", leads,
        "leads(self, form_id, page_token, *, since=None, limit=200)\n--\n\n"
        "The leads of a form, as Lead records: at most limit of them, only those created after "
        "since (seconds since 1970, UTC) when it is given and not 0. Backfills what a webhook "
        "missed."),
    pyutil::method_def(
        "iter_leads", iter_leads,
        "iter_leads(self, form_id, page_token, since=None)\n--\n\n"
        "The leads of a form as an async iterator of Lead records, fetching the next page "
        "only when the previous one is used up: a backfill of any size holds one page. since "
        "as in leads()."),
    pyutil::method_def("lead", lead,
                       "lead(self, leadgen_id, page_token)\n--\n\n"
                       "One lead, by the leadgen_id of its webhook event, as a Lead record."),
    pyutil::method_def(
        "ad_context", ad_context,
        "ad_context(self, ad_id, token)\n--\n\n"
        "The ad, ad set and campaign behind a lead as one flat dict (ad_id, ad_name, adset_id, "
        "adset_name, campaign_id, campaign_name, objective, optimization_goal, targeting). "
        "token needs ads_management. {} without an ad id, or when the platform refuses (logged "
        "at warning level); a transport failure or a throttle (RateLimitError) is raised."),
    pyutil::method_def(
        "leads_with_context", leads_with_context,
        "leads_with_context(self, leadgen_ids, page_token, *, ad_token=None)\n--\n\n"
        "Many leads with the ads behind them, in Graph batches (one HTTP call per 25 leads): "
        "each lead read with page_token, its ad through the lead's ad_id with ad_token (the "
        "token with ads_management; page_token when None). A list in the order of leadgen_ids, "
        "each a (Lead, ad context) pair as lead() and ad_context() give them, or the error the "
        "lead alone would have raised (returned, not raised; a throttled ad's RateLimitError "
        "too). An ad the platform refuses gives {} (logged at warning level), as does a lead "
        "without an ad."),
};

}  // namespace

void add_lead_methods(pyutil::ClassBuilder& cls) {
  for (auto& def : lead_methods) cls.method(&def);
}

}  // namespace corvane::facebook
