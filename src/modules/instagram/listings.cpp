// The long lists of an account, streamed: its media, a media object's comments, the Direct
// inbox and a conversation's messages as async iterators that hold one page at a time
// (BaseClient._iterate), for backfills that would not fit a list.
#include "modules/instagram/internal.hpp"

namespace corvane::instagram {
namespace {

py::object iter_media(py::object self, Args args) {
  return graph::iterate_signed(self, graph::edge(self, account_node(self, args[1]), "media"),
                               args[0], graph::fields("IG_MEDIA"));
}

// The inbox page by page, each conversation shaped as conversations() shapes it. With enrich,
// a page's customers are looked up (_enrich, its bounded concurrency) before the first of its
// conversations is handed out, so a profile is fetched once per page, not once per item.
py::object iter_conversations(py::object self, Args args) {
  py::str node = inbox_node(self, args[2], "iter_conversations");
  py::dict query = graph::fields("IG_CONVERSATION");
  // conversations()' page: a page's profiles come before its first item, so a smaller page
  // hands out its first conversation sooner.
  query["limit"] = py::int_(25);
  if (via_facebook(self)) query["platform"] = "instagram";
  py::set business = business_ids_of(args[1], args[2]);
  py::object partial = py::module_::import("functools").attr("partial");
  py::object shape =
      partial(self.attr(pyutil::name<"_shape">()), py::arg("business_ids") = business);
  py::object url = graph::edge(self, node, "conversations");
  if (!pyutil::truthy(args[3])) return graph::iterate_signed(self, url, args[0], query, shape);
  // Each page is enriched before it is handed out.
  py::object each_page = partial(self.attr(pyutil::name<"_enrich">()), py::arg("token") = args[0],
                                 py::arg("business_ids") = business);
  return graph::iterate_signed(self, url, args[0], query, shape, each_page);
}

}  // namespace

const binder::Operation kListingOperations[] = {
    {"iter_media",
     {kToken, kIgUserId},
     "An async iterator over all the account's media objects (Fields.IG_MEDIA), as the "
     "platform sends them, newest first. The next page is fetched only when the previous "
     "one is used up. ig_user_id: the account (required in the Facebook-login mode; else "
     "'me').",
     nullptr,
     iter_media},
    {"iter_comments",
     {{"media_id", &graph::kNodeId}, kToken},
     "An async iterator over all the media object's comments (Fields.IG_COMMENT), as the "
     "platform sends them, one page held at a time.",
     nullptr,
     graph::edge_walk<"comments", graph::field_query<"IG_COMMENT">>},
    {"iter_conversations",
     {kToken, {"ig_user_id", &binder::kTextOrNone, "None", true},
      {"page_id", &binder::kTextOrNone, "None", true}, {"enrich", &binder::kFlag, "True", true}},
     "An async iterator over all the Direct conversations, each shaped as conversations() "
     "shapes it, one page held at a time. With enrich, a page's distinct customers are "
     "looked up before its first conversation is handed out (in Graph batches of 50 in the "
     "Facebook-login mode, else contact(), at most _PROFILE_CONCURRENCY at a time). The "
     "Facebook-login mode reads the Page's inbox and needs page_id (else "
     "ConfigurationError).",
     nullptr,
     iter_conversations},
    {"iter_messages",
     {{"conversation_id", &graph::kNodeId}, kToken},
     "An async iterator over all a conversation's messages (Fields.IG_MESSAGE), as the "
     "platform sends them, one page held at a time.",
     nullptr,
     // The conversation's own edge, so that the paging cursor runs over messages.
     graph::edge_walk<"messages", graph::field_query<"IG_MESSAGE">>},
};
const binder::MethodGroup add_listing_methods = binder::group<kListingOperations, "Instagram">;

}  // namespace corvane::instagram
