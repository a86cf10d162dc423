// A Page's content: its own posts, publishing and deleting posts, post insights, comments,
// replies, and hiding comments (never deleting them: the author still sees a hidden comment,
// so moderation opens no conflict).
#include "modules/facebook/internal.hpp"

namespace corvane::facebook {
namespace {

using graph::edge;

// ---- posts ----

Task<py::object> publish_task(py::object self, Args args) {
  py::dict query;
  query["message"] = args[2];
  query["published"] = graph::flag(args[4]);
  if (truthy(args[3])) query["link"] = args[3];
  co_return co_await graph::post(self, edge(self, args[0], "feed"), args[1], std::move(query));
}

// ---- post_insights, posts_insights ----

// {metric name: value} of an insights answer.
py::dict metrics_of(py::handle self, py::object data) {
  py::dict metrics;
  py::object items = member(data, "data");
  if (!truthy(items)) return metrics;
  for (py::handle item : items) {
    py::object name = member(item, "name");
    if (name.is_none()) graph::answer_error(self, graph::texts::kNoInsightName, data);
    py::object values = member(item, "values");
    const bool listed = (PyList_Check(values.ptr()) || PyTuple_Check(values.ptr())) && truthy(values);
    py::object first = listed ? py::object(values[py::int_(0)]) : py::object(py::dict());
    metrics[name] = member(first, "value");
  }
  return metrics;
}

Task<py::object> post_insights_task(py::object self, Args args) {
  py::dict query;
  query["metric"] = pyutil::metric_list("FB_POST_INSIGHTS");
  // Old posts may have no statistics at all: the platform answers with an error.
  graph::Tolerated answer = co_await graph::get_tolerating_refusal(
      self, edge(self, args[0], "insights"), args[1], std::move(query));
  if (answer.refusal) {
    state().log("info", texts::kNoPostInsights, args[0], pyutil::text_form(answer.refusal));
    co_return py::dict();
  }
  co_return metrics_of(self, std::move(answer.data));
}

// Many posts' statistics in Graph batches of at most 50 look-ups: {post id: metrics}, each as
// post_insights gives it (a refusal is {} and logged; any other failure is raised).
Task<py::object> posts_insights_task(py::object self, Args args) {
  const auto post_ids = py::reinterpret_borrow<py::list>(args[0]);
  py::object asking;
  {
    py::list requests;
    py::str metric = pyutil::metric_list("FB_POST_INSIGHTS");
    for (py::handle post_id : post_ids) {
      py::dict params;
      params["metric"] = metric;
      py::dict request;
      request["path"] = py::str("{}/insights").format(post_id);
      request["params"] = params;
      requests.append(request);
    }
    asking = py::getattr(self, pyutil::name<"batch">())(requests, args[1]);
  }
  bridge::Rooted<py::list> answers = co_await std::move(asking);
  py::dict out;
  for (std::size_t i = 0; i < answers.size(); ++i) {
    py::object post_id = post_ids[i];
    py::object answer = answers[i];
    if (PyExceptionInstance_Check(answer.ptr())) {
      if (!graph::is_refusal(answer)) pyutil::raise(answer);
      state().log("info", texts::kNoPostInsights, post_id, pyutil::text_form(answer));
      out[post_id] = py::dict();
      continue;
    }
    out[post_id] = metrics_of(self, graph::require_json(self, answer));
  }
  co_return out;
}

// ---- comments ----

py::dict comment_query() {
  py::dict query = graph::fields("FB_COMMENT");
  query["order"] = "reverse_chronological";
  return query;
}

const binder::Param kPostId{"post_id", &graph::kNodeId};
const binder::Param kCommentId{"comment_id", &graph::kNodeId};

}  // namespace

const binder::Operation kContentOperations[] = {
    {"posts",
     {kPageId, kPageToken, {"limit", &binder::kCount, "25", true}},
     "The Page's own posts (published_posts, not the feed that visitors write on), at most "
     "limit of them, as the platform returns them.",
     // published_posts, not feed: the feed also carries what visitors wrote on the Page.
     graph::edge_list<"published_posts", graph::field_query<"FB_POST">>},
    {"iter_posts",
     {kPageId, kPageToken},
     "The Page's own posts as an async iterator, one page held at a time.",
     nullptr, graph::edge_walk<"published_posts", graph::field_query<"FB_POST">>},
    {"publish_post",
     {kPageId, kPageToken, {"message", &binder::kText, nullptr, true},
      {"link", &binder::kTextOrNone, "None", true}, {"published", &binder::kFlag, "True", true}},
     "Creates a post on the Page's feed; returns the platform's answer (the new post's id).",
     publish_task},
    {"delete_post",
     {kPostId, kPageToken},
     "Deletes a post. True when the platform reports success.",
     graph::delete_at<>},
    {"post_insights",
     {kPostId, kPageToken},
     "The post's statistics as {metric name: value}, for the metrics of the current "
     "policy's \"FB_POST_INSIGHTS\" list. {} when the platform has none for it "
     "(old posts; logged at info level).",
     post_insights_task},
    {"posts_insights",
     {{"post_ids", &graph::kNodeIds}, kPageToken},
     "post_insights for many posts in Graph batches (one HTTP call per 50 posts): "
     "{post id: {metric name: value}} in the order given, {} for a post the platform has "
     "no statistics for (logged at info level). Any other failure of a post is raised.",
     posts_insights_task},
    {"comments",
     {kPostId, kPageToken, {"limit", &binder::kCount, "50", true}},
     "The post's comments, newest first, at most limit of them.",
     graph::edge_list<"comments", comment_query>},
    {"iter_comments",
     {kPostId, kPageToken},
     "A post's comments, newest first, as an async iterator, one page held at a time.",
     nullptr, graph::edge_walk<"comments", comment_query>},
    {"reply_comment",
     {kCommentId, kPageToken, {"message", &binder::kText}},
     "Answers a comment as the Page; returns the platform's answer.",
     graph::post_arg<"message", "comments">},
    {"hide_comment",
     {kCommentId, kPageToken, {"hidden", &binder::kFlag, "True"}},
     "Hides (or, with hidden=False, shows again) a comment; its author still sees it. "
     "Returns the platform's answer.",
     graph::post_arg<"is_hidden", "", true>},
};
const binder::MethodGroup add_content_methods = binder::group<kContentOperations, "Facebook">;

}  // namespace corvane::facebook
