// A Page's content: its own posts, publishing and deleting posts, post insights, comments,
// replies, and hiding comments (never deleting them: the author still sees a hidden comment,
// so moderation opens no conflict).
#include "modules/facebook/internal.hpp"
#include "py/errors.hpp"
#include "py/fields.hpp"
#include "py/values.hpp"

namespace corvane::facebook {
namespace {

using pyutil::guarded;
using pyutil::member;
using pyutil::own;
using pyutil::truthy;

// The Graph API reads flags as the words true and false.
py::str flag(bool value) { return py::str(value ? "true" : "false"); }

// ---- posts, publish_post, delete_post ----

Task<py::object> posts_task(py::object self, py::object page_id, py::object page_token,
                            py::object limit) {
  // published_posts, not feed: the feed also carries what visitors wrote on the Page.
  py::object url = self.attr("graph").attr("edge")(page_id, "published_posts");
  py::object fields = field_set("FB_POST");
  py::object items_call =
      self.attr("_list")(url, page_token, py::arg("max_items") = limit, py::arg("fields") = fields);
  py::object items = co_await std::move(items_call);
  co_return items;
}

PyObject* posts(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "page_id", "page_token", "limit", nullptr};
    PyObject *self = nullptr, *page_id = nullptr, *page_token = nullptr, *limit = nullptr;
    pyutil::parse_args(args, kwargs, "OOO|$O:posts", keywords, &self, &page_id, &page_token,
                       &limit);
    return bridge::as_coroutine(posts_task(own(self), graph::node_id(page_id, "posts", "page_id"),
                                           graph::token(page_token, "posts", "page_token"),
                                           limit ? graph::count(limit, "posts", "limit")
                                                 : py::int_(25)),
                                "Facebook.posts");
  });
}

Task<py::object> publish_task(py::object self, py::object page_id, py::object page_token,
                              py::dict query) {
  py::object url = self.attr("graph").attr("edge")(page_id, "feed");
  py::object answer_call = self.attr("_post")(url, page_token, **query);
  py::object answer = co_await std::move(answer_call);
  co_return answer;
}

PyObject* publish_post(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "page_id", "page_token", "message", "link",
                                     "published", nullptr};
    PyObject *self = nullptr, *page_id = nullptr, *page_token = nullptr, *message = nullptr;
    PyObject *link = Py_None, *published = Py_True;
    pyutil::parse_args(args, kwargs, "OOO|$OOO:publish_post", keywords, &self, &page_id,
                       &page_token, &message, &link, &published);
    if (message == nullptr) {
      throw py::type_error("publish_post() missing required keyword-only argument: 'message'");
    }
    py::dict query;
    query["message"] = graph::text(message, "publish_post", "message");
    query["published"] = flag(truthy(published));
    py::object link_text = graph::text_or_none(link, "publish_post", "link");
    if (truthy(link_text)) query["link"] = link_text;
    return bridge::as_coroutine(
        publish_task(own(self), graph::node_id(page_id, "publish_post", "page_id"),
                     graph::token(page_token, "publish_post", "page_token"), query),
        "Facebook.publish_post");
  });
}

Task<py::object> delete_post_task(py::object self, py::object post_id, py::object page_token) {
  py::object url = self.attr("graph").attr("node")(post_id);
  py::object data_call = self.attr("_delete")(url, page_token);
  py::object answer = co_await std::move(data_call);
  py::object data = graph::require_json(self, std::move(answer));
  co_return py::bool_(truthy(member(data, "success")));
}

PyObject* delete_post(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "post_id", "page_token", nullptr};
    PyObject *self = nullptr, *post_id = nullptr, *page_token = nullptr;
    pyutil::parse_args(args, kwargs, "OOO:delete_post", keywords, &self, &post_id, &page_token);
    return bridge::as_coroutine(
        delete_post_task(own(self), graph::node_id(post_id, "delete_post", "post_id"),
                         graph::token(page_token, "delete_post", "page_token")),
        "Facebook.delete_post");
  });
}

// ---- post_insights, posts_insights ----

py::dict metrics_of(py::handle self, py::object data);

Task<py::object> post_insights_task(py::object self, py::object post_id, py::object page_token) {
  py::dict query;
  query["metric"] = pyutil::metric_list("FB_POST_INSIGHTS");
  // Old posts may have no statistics at all: the platform answers with an error. The url and
  // query move into the sub-request's frame, where the collector sees them.
  auto asking = graph::get_tolerating_refusal(
      self, self.attr("graph").attr("edge")(post_id, "insights"), page_token, std::move(query));
  graph::Tolerated answer = co_await std::move(asking);
  if (answer.refusal) {
    log_info("Post %s uchun insight yo'q: %s", post_id, pyutil::text_form(answer.refusal));
    co_return py::dict();
  }
  co_return metrics_of(self, std::move(answer.data));
}

// {metric name: value} of an insights answer.
py::dict metrics_of(py::handle self, py::object data) {
  py::dict metrics;
  py::object items = member(data, "data");
  if (!truthy(items)) return metrics;
  for (py::handle item : items) {
    py::object name = member(item, "name");
    if (name.is_none()) {
      py::dict fields;
      fields["provider"] = self.attr("provider");
      fields["payload"] = data;
      pyutil::raise_error("ApiError", py::str("Insight javobida `name` yo'q"), fields);
    }
    py::object values = member(item, "values");
    const bool listed = (PyList_Check(values.ptr()) || PyTuple_Check(values.ptr())) && truthy(values);
    py::object first = listed ? py::object(values[py::int_(0)]) : py::object(py::dict());
    metrics[name] = member(first, "value");
  }
  return metrics;
}

PyObject* post_insights(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "post_id", "page_token", nullptr};
    PyObject *self = nullptr, *post_id = nullptr, *page_token = nullptr;
    pyutil::parse_args(args, kwargs, "OOO:post_insights", keywords, &self, &post_id,
                       &page_token);
    return bridge::as_coroutine(
        post_insights_task(own(self), graph::node_id(post_id, "post_insights", "post_id"),
                           graph::token(page_token, "post_insights", "page_token")),
        "Facebook.post_insights");
  });
}

// Many posts' statistics in Graph batches of at most 50 look-ups: {post id: metrics}, each as
// post_insights gives it (a refusal is {} and logged; any other failure is raised).
Task<py::object> posts_insights_task(py::object self, py::list post_ids, py::object page_token) {
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
    asking = self.attr("batch")(requests, page_token);
  }
  bridge::Rooted<py::list> answers = co_await std::move(asking);
  py::dict out;
  for (std::size_t i = 0; i < answers.size(); ++i) {
    py::object post_id = post_ids[i];
    py::object answer = answers[i];
    if (PyExceptionInstance_Check(answer.ptr())) {
      if (!graph::is_refusal(answer)) pyutil::raise(answer);
      log_info("Post %s uchun insight yo'q: %s", post_id, pyutil::text_form(answer));
      out[post_id] = py::dict();
      continue;
    }
    out[post_id] = metrics_of(self, graph::require_json(self, answer));
  }
  co_return out;
}

PyObject* posts_insights(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "post_ids", "page_token", nullptr};
    PyObject *self = nullptr, *post_ids = nullptr, *page_token = nullptr;
    pyutil::parse_args(args, kwargs, "OOO:posts_insights", keywords, &self, &post_ids,
                       &page_token);
    py::list ids;
    for (py::handle id : graph::text_list(post_ids, "posts_insights", "post_ids")) {
      ids.append(graph::node_id(id, "posts_insights", "post_ids"));
    }
    return bridge::as_coroutine(
        posts_insights_task(own(self), ids,
                            graph::token(page_token, "posts_insights", "page_token")),
        "Facebook.posts_insights");
  });
}

// ---- comments, reply_comment, hide_comment ----

Task<py::object> comments_task(py::object self, py::object post_id, py::object page_token,
                               py::object limit) {
  py::object url = self.attr("graph").attr("edge")(post_id, "comments");
  py::object fields = field_set("FB_COMMENT");
  py::object items_call =
      self.attr("_list")(url, page_token, py::arg("max_items") = limit, py::arg("fields") = fields,
                         py::arg("order") = "reverse_chronological");
  py::object items = co_await std::move(items_call);
  co_return items;
}

PyObject* comments(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "post_id", "page_token", "limit", nullptr};
    PyObject *self = nullptr, *post_id = nullptr, *page_token = nullptr, *limit = nullptr;
    pyutil::parse_args(args, kwargs, "OOO|$O:comments", keywords, &self, &post_id, &page_token,
                       &limit);
    return bridge::as_coroutine(
        comments_task(own(self), graph::node_id(post_id, "comments", "post_id"),
                      graph::token(page_token, "comments", "page_token"),
                      limit ? graph::count(limit, "comments", "limit") : py::int_(50)),
        "Facebook.comments");
  });
}

// ---- iter_posts, iter_comments ----

PyObject* iter_posts(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "page_id", "page_token", nullptr};
    PyObject *self = nullptr, *page_id = nullptr, *page_token = nullptr;
    pyutil::parse_args(args, kwargs, "OOO:iter_posts", keywords, &self, &page_id, &page_token);
    py::object url = py::handle(self).attr("graph").attr("edge")(
        graph::node_id(page_id, "iter_posts", "page_id"), "published_posts");
    py::dict query;
    query["fields"] = field_set("FB_POST");
    return graph::iterate_signed(self, url, graph::token(page_token, "iter_posts", "page_token"),
                                 query);
  });
}

PyObject* iter_comments(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "post_id", "page_token", nullptr};
    PyObject *self = nullptr, *post_id = nullptr, *page_token = nullptr;
    pyutil::parse_args(args, kwargs, "OOO:iter_comments", keywords, &self, &post_id,
                       &page_token);
    py::object url = py::handle(self).attr("graph").attr("edge")(
        graph::node_id(post_id, "iter_comments", "post_id"), "comments");
    py::dict query;
    query["fields"] = field_set("FB_COMMENT");
    query["order"] = "reverse_chronological";
    return graph::iterate_signed(self, url,
                                 graph::token(page_token, "iter_comments", "page_token"), query);
  });
}

// One POST with one query value, the answer returned unchanged.
Task<py::object> post_one_task(py::object self, py::object url, py::object page_token,
                               py::dict query) {
  py::object answer_call = self.attr("_post")(url, page_token, **query);
  py::object answer = co_await std::move(answer_call);
  co_return answer;
}

PyObject* reply_comment(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "comment_id", "page_token", "message", nullptr};
    PyObject *self = nullptr, *comment_id = nullptr, *page_token = nullptr, *message = nullptr;
    pyutil::parse_args(args, kwargs, "OOOO:reply_comment", keywords, &self, &comment_id,
                       &page_token, &message);
    py::handle s(self);
    py::dict query;
    query["message"] = graph::text(message, "reply_comment", "message");
    py::object url = s.attr("graph").attr("edge")(
        graph::node_id(comment_id, "reply_comment", "comment_id"), "comments");
    py::object token = graph::token(page_token, "reply_comment", "page_token");
    return bridge::as_coroutine(post_one_task(own(self), url, token, query),
                                "Facebook.reply_comment");
  });
}

PyObject* hide_comment(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "comment_id", "page_token", "hidden", nullptr};
    PyObject *self = nullptr, *comment_id = nullptr, *page_token = nullptr, *hidden = Py_True;
    pyutil::parse_args(args, kwargs, "OOO|O:hide_comment", keywords, &self, &comment_id,
                       &page_token, &hidden);
    py::handle s(self);
    py::dict query;
    query["is_hidden"] = flag(truthy(hidden));
    py::object url =
        s.attr("graph").attr("node")(graph::node_id(comment_id, "hide_comment", "comment_id"));
    py::object token = graph::token(page_token, "hide_comment", "page_token");
    return bridge::as_coroutine(post_one_task(own(self), url, token, query),
                                "Facebook.hide_comment");
  });
}

PyMethodDef content_methods[] = {
    pyutil::method_def("iter_posts", iter_posts,
                       "iter_posts(self, page_id, page_token)\n--\n\n"
                       "The Page's own posts as an async iterator, one page held at a time."),
    pyutil::method_def("iter_comments", iter_comments,
                       "iter_comments(self, post_id, page_token)\n--\n\n"
                       "A post's comments, newest first, as an async iterator, one page held at "
                       "a time."),
    pyutil::method_def(
        "posts", posts,
        "posts(self, page_id, page_token, *, limit=25)\n--\n\n"
        "The Page's own posts (published_posts, not the feed that visitors write on), at most "
        "limit of them, as the platform returns them."),
    pyutil::method_def(
        "publish_post", publish_post,
        "publish_post(self, page_id, page_token, *, message, link=None, published=True)\n--\n\n"
        "Creates a post on the Page's feed; returns the platform's answer (the new post's id)."),
    pyutil::method_def("delete_post", delete_post,
                       "delete_post(self, post_id, page_token)\n--\n\n"
                       "Deletes a post. True when the platform reports success."),
    pyutil::method_def(
        "post_insights", post_insights,
        "post_insights(self, post_id, page_token)\n--\n\n"
        "The post's statistics as {metric name: value}, for the metrics of the current "
        "policy's \"FB_POST_INSIGHTS\" list. {} when the platform has none for it "
        "(old posts; logged at info level)."),
    pyutil::method_def(
        "posts_insights", posts_insights,
        "posts_insights(self, post_ids, page_token)\n--\n\n"
        "post_insights for many posts in Graph batches (one HTTP call per 50 posts): "
        "{post id: {metric name: value}} in the order given, {} for a post the platform has "
        "no statistics for (logged at info level). Any other failure of a post is raised."),
    pyutil::method_def("comments", comments,
                       "comments(self, post_id, page_token, *, limit=50)\n--\n\n"
                       "The post's comments, newest first, at most limit of them."),
    pyutil::method_def("reply_comment", reply_comment,
                       "reply_comment(self, comment_id, page_token, message)\n--\n\n"
                       "Answers a comment as the Page; returns the platform's answer."),
    pyutil::method_def(
        "hide_comment", hide_comment,
        "hide_comment(self, comment_id, page_token, hidden=True)\n--\n\n"
        "Hides (or, with hidden=False, shows again) a comment; its author still sees it. "
        "Returns the platform's answer."),
};

}  // namespace

void add_content_methods(pyutil::ClassBuilder& cls) {
  for (auto& def : content_methods) cls.method(&def);
}

}  // namespace corvane::facebook
