// Facebook Pages: the user's Pages with their page tokens, and the Page's webhook
// subscription (without it, an app-level webhook delivers nothing for that Page).
#include "modules/facebook/internal.hpp"

namespace corvane::facebook {
namespace {

Task<py::object> pages_task(py::object self, Args args) {
  py::object url = graph::urls(self).attr("my_accounts")();
  py::dict query;
  query["fields"] = state().page_fields.get();
  py::object items = co_await graph::list(self, url, args[0], std::move(query));
  co_return records(state().page.get(), items);
}

Task<py::object> subscribe_task(py::object self, Args args) {
  py::str fields = graph::join_commas(truthy(args[2]) ? args[2] : state().webhook_fields.get());
  py::object url = graph::edge(self, args[0], "subscribed_apps");
  co_return graph::succeeded(
      self, co_await graph::post_value(self, url, args[1], "subscribed_fields", fields));
}

Task<py::object> subscriptions_task(py::object self, Args args) {
  // One request: the list is short, and a diagnostic should not page.
  py::object data =
      co_await graph::get(self, graph::edge(self, args[0], "subscribed_apps"), args[1]);
  py::object entries = member(graph::require_json(self, std::move(data)), "data");
  co_return truthy(entries) ? entries : py::list();
}

}  // namespace

const binder::Operation kPageOperations[] = {
    {"pages",
     {{"token", &binder::kToken}},
     "The Pages the user of token manages (at most 500), as Page records with their page "
     "tokens (secrets: keep them out of browsers and logs) and linked Instagram accounts.",
     pages_task},
    {"subscribe_page",
     {kPageId, kPageToken, {"fields", &binder::kTexts, "None"}},
     "Subscribes the Page to the app's webhook for fields (default "
     "DEFAULT_PAGE_WEBHOOK_FIELDS). The page token needs pages_manage_metadata. True when "
     "the platform reports success.",
     subscribe_task},
    {"subscriptions",
     {kPageId, kPageToken},
     "The Page's webhook subscriptions as the platform lists them (one request).",
     subscriptions_task},
    {"unsubscribe_page",
     {kPageId, kPageToken},
     "Removes the app's webhook subscription of the Page. True when the platform reports "
     "success.",
     graph::delete_at<"subscribed_apps">},
};
const binder::MethodGroup add_page_methods = binder::group<kPageOperations, "Facebook">;

}  // namespace corvane::facebook
