// Facebook Lead Ads: a Page's lead forms, the leads of a form (optionally since a time), one
// lead by the leadgen_id of a webhook event, and the ad behind a lead.
#include "modules/facebook/internal.hpp"

namespace corvane::facebook {
namespace {

// The leads time filter: exactly this text, no spaces, the number unquoted.
constexpr const char* kSinceFilter =
    R"([{"field":"time_created","operator":"GREATER_THAN","value":%d}])";

// A float or a bool would be written into the filter as something else than was meant.
const binder::Kind kSince{"int | None", [](py::handle value, const char* operation,
                                           const char* parameter) -> py::object {
                            if (!value.is_none() && (PyBool_Check(value.ptr()) ||
                                                     !PyLong_Check(value.ptr()))) {
                              binder::wrong_type(value, operation, parameter,
                                                 texts::kSince);
                            }
                            return py::reinterpret_borrow<py::object>(value);
                          }};

// The query of a form's leads: every field, and the time filter when since is given.
py::dict leads_query(py::handle since) {
  py::dict query = graph::fields("FB_LEAD");
  if (truthy(since)) query["filtering"] = py::str(kSinceFilter).attr("__mod__")(since);
  return query;
}

Task<py::object> lead_forms_task(py::object self, Args args) {
  py::object items = co_await graph::list(self, graph::edge(self, args[0], "leadgen_forms"),
                                          args[1], graph::fields("FB_LEADGEN_FORM"));
  co_return records(state().lead_form.get(), items);
}

Task<py::object> leads_task(py::object self, Args args) {
  py::object items = co_await graph::list(self, graph::edge(self, args[0], "leads"), args[1],
                                          leads_query(args[2]), args[3]);
  co_return records(state().lead.get(), items);
}

// An async iterator over the form's leads as Lead records, one page held at a time.
py::object iter_leads(py::object self, Args args) {
  return graph::iterate_signed(self, graph::edge(self, args[0], "leads"), args[1],
                               leads_query(args[2]), state().lead.get().attr("from_response"));
}

Task<py::object> lead_task(py::object self, Args args) {
  py::object answer =
      co_await graph::get(self, graph::node(self, args[0]), args[1], graph::fields("FB_LEAD"));
  co_return state().lead.get().attr("from_response")(graph::require_json(self, std::move(answer)));
}

// ---- ad_context ----

// The flat ad context of an ad's answer (with its adset and campaign; a member of one that is
// missing, or not an object, is None).
py::dict context_of(py::handle data) {
  py::object adset = member(data, "adset");
  py::object campaign = member(data, "campaign");
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

Task<py::object> ad_context_task(py::object self, Args args) {
  py::object ad_id = args[0];
  if (!truthy(ad_id)) co_return py::dict();  // hosts call this for every lead, ad or not
  // Without ads_management the platform refuses; the lead stays worth processing.
  graph::Tolerated answer = co_await graph::get_tolerating_refusal(
      self, graph::node(self, ad_id), args[1], graph::fields("FB_AD_CONTEXT"));
  if (answer.refusal) {
    // A warning: the lead is kept, but its campaign is lost, usually to a token without
    // ads_management (a Page token where the user's was needed).
    state().log("warning", texts::kNoAdContext, ad_id, pyutil::text_form(answer.refusal));
    co_return py::dict();
  }
  co_return context_of(answer.data);
}

// ---- leads_with_context ----

// Leads and the ads behind them in Graph batches: each lead with the Page's token, its ad through
// a reference to the lead's ad_id with `ad_token` (ads_management), the pair in one call. A slot
// is (Lead, context) or the error the lead alone would have raised (its ad's throttle among
// them); an ad the platform refuses, or a lead without an ad, gives the context {} as
// ad_context does.
Task<py::object> leads_with_context_task(py::object self, Args args) {
  const auto leadgen_ids = py::reinterpret_borrow<py::list>(args[0]);
  py::object ad_token = args[2];
  py::object asking;
  {
    py::list requests;
    py::dict lead_params = graph::fields("FB_LEAD"), ad_params = graph::fields("FB_AD_CONTEXT");
    for (std::size_t i = 0; i < leadgen_ids.size(); ++i) {
      const py::str name = py::str("lead{}").format(i);
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
    asking = py::getattr(self, pyutil::name<"batch">())(requests, args[1]);
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
        state().log("warning", texts::kNoAdContext, record.attr("ad_id"), pyutil::text_form(ad));
      }
    } else if (truthy(record.attr("ad_id"))) {
      context = context_of(graph::require_json(self, ad));
    }
    out.append(py::make_tuple(record, context));
  }
  co_return out;
}

}  // namespace

const binder::Operation kLeadOperations[] = {
    {"lead_forms",
     {kPageId, kPageToken},
     "The Page's Lead Ads forms (at most 500), as LeadForm records.",
     lead_forms_task},
    {"leads",
     {{"form_id", &graph::kNodeId}, kPageToken, {"since", &kSince, "None", true},
      {"limit", &binder::kCount, "200", true}},
     "The leads of a form, as Lead records: at most limit of them, only those created after "
     "since (seconds since 1970, UTC) when it is given and not 0. Backfills what a webhook "
     "missed.",
     leads_task},
    {"iter_leads",
     {{"form_id", &graph::kNodeId}, kPageToken, {"since", &kSince, "None"}},
     "The leads of a form as an async iterator of Lead records, fetching the next page "
     "only when the previous one is used up: a backfill of any size holds one page. since "
     "as in leads().",
     nullptr, iter_leads},
    {"lead",
     {{"leadgen_id", &graph::kNodeId}, kPageToken},
     "One lead, by the leadgen_id of its webhook event, as a Lead record.",
     lead_task},
    {"ad_context",
     {{"ad_id", &graph::kNodeIdOrNone}, {"token", &binder::kToken}},
     "The ad, ad set and campaign behind a lead as one flat dict (ad_id, ad_name, adset_id, "
     "adset_name, campaign_id, campaign_name, objective, optimization_goal, targeting). "
     "token needs ads_management. {} without an ad id, or when the platform refuses (logged "
     "at warning level); a transport failure or a throttle (RateLimitError) is raised.",
     ad_context_task},
    {"leads_with_context",
     {{"leadgen_ids", &graph::kNodeIds}, kPageToken,
      {"ad_token", &binder::kTextOrNone, "None", true}},
     "Many leads with the ads behind them, in Graph batches (one HTTP call per 25 leads): "
     "each lead read with page_token, its ad through the lead's ad_id with ad_token (the "
     "token with ads_management; page_token when None). A list in the order of leadgen_ids, "
     "each a (Lead, ad context) pair as lead() and ad_context() give them, or the error the "
     "lead alone would have raised (returned, not raised; a throttled ad's RateLimitError "
     "too). An ad the platform refuses gives {} (logged at warning level), as does a lead "
     "without an ad.",
     leads_with_context_task},
};
const binder::MethodGroup add_lead_methods = binder::group<kLeadOperations, "Facebook">;

}  // namespace corvane::facebook
