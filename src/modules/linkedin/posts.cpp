// LinkedIn posts through the versioned REST API: listing by author, publishing a text post
// with an optional link, and deleting by URN.
#include <string>

#include "core/percent.hpp"
#include "modules/graph_client.hpp"
#include "modules/linkedin/internal.hpp"
#include "py/errors.hpp"
#include "py/values.hpp"

namespace corvane::linkedin {
namespace {

using pyutil::guarded;
using pyutil::truthy;

constexpr const char* kNoCommunityManagement =
    "LinkedIn postlarni o'qishga ruxsat bermadi. `q=author` so'rovi 'Community Management "
    "API' ruxsatini talab qiladi \xE2\x80\x94 LinkedIn Developer portalida Products "
    "bo'limidan so'rang.";

constexpr const char* kOrganizationPrefix = "urn:li:organization:";
constexpr const char* kOrganizationNote =
    "an organization's posts need the r_organization_social scope and an ADMINISTRATOR, "
    "CONTENT_ADMIN or DIRECT_SPONSORED_CONTENT_POSTER role of the member on that page "
    "(LinkedIn.organizations() lists the pages the member administers)";

py::object self_of(PyObject* self) { return py::reinterpret_borrow<py::object>(self); }

py::object posts_url(const std::string& path = "posts") {
  return state().endpoints.get().attr("rest")(py::str(path));
}

// ---- posts ----

}  // namespace

Task<py::object> posts_page(py::object self, py::str token, py::dict query) {
  py::object answer;
  py::object refused;  // the PermissionError, rewrapped once the handler is left
  try {
    py::object headers = self.attr("_headers")(token, finder_header());
    py::object asking = self.attr("request")("GET", posts_url(), py::arg("params") = query,
                                             py::arg("headers") = headers);
    answer = co_await std::move(asking);
  } catch (py::error_already_set& e) {
    if (!pyutil::is_kind(e, "PermissionError")) throw;
    refused = e.value();
  }
  if (refused) {
    // A bare 403 tells the host nothing: name the LinkedIn product that reading needs.
    py::dict fields;
    fields["provider"] = "linkedin";
    fields["status"] = refused.attr("status");
    fields["payload"] = refused.attr("payload");
    py::object error =
        pyutil::make_error("PermissionError", py::str(kNoCommunityManagement), fields);
    // A company page's posts need more than the product: the scope and a role on the page.
    if (pyutil::truthy(py::str(query["author"]).attr("startswith")(kOrganizationPrefix))) {
      graph::add_note(error, kOrganizationNote);
    }
    pyutil::raise_from(error, refused);
  }
  co_return answer;
}

namespace {

Task<py::object> posts_of(py::object self, py::str token, py::dict query) {
  Task<py::object> asking = posts_page(std::move(self), std::move(token), std::move(query));
  py::object answer = co_await std::move(asking);
  co_return object_answer(answer, "posts");
}

PyObject* posts(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "token", "author", "start", "count", nullptr};
    PyObject *self = nullptr, *token = nullptr, *author = nullptr;
    PyObject *start = nullptr, *count = nullptr;
    pyutil::parse_args(args, kwargs, "OOO|$OO:posts", keywords, &self, &token, &author, &start,
                       &count);
    py::str token_text = text(token, "posts", "token");
    py::dict query;  // the pipeline encodes it
    query["q"] = "author";
    query["author"] = author_urn(text(author, "posts", "author"));
    query["start"] = integer(start, 0, "posts", "start");
    query["count"] = integer(count, 10, "posts", "count");
    return bridge::as_coroutine(posts_of(self_of(self), token_text, query), "LinkedIn.posts");
  });
}

// ---- create_post ----

py::dict post_object(py::handle author, py::handle text_value, py::handle visibility,
                     py::handle article_url, py::handle article_title) {
  py::dict distribution;
  distribution["feedDistribution"] = "MAIN_FEED";
  distribution["targetEntities"] = py::list();
  distribution["thirdPartyDistributionChannels"] = py::list();
  py::dict post;
  post["author"] = author;
  post["commentary"] = text_value;
  post["visibility"] = visibility;
  post["distribution"] = distribution;
  post["lifecycleState"] = "PUBLISHED";
  post["isReshareDisabledByAuthor"] = py::bool_(false);
  if (truthy(article_url)) {
    py::dict article;
    article["source"] = article_url;
    article["title"] = truthy(article_title) ? article_title : article_url;
    py::dict content;
    content["article"] = article;
    post["content"] = content;
  }
  return post;
}

Task<py::object> create_post_task(py::object self, py::str token, py::str author,
                                  py::str text_value, py::str visibility, py::object article_url,
                                  py::object article_title) {
  // Checked before any I/O: LinkedIn would refuse anything else after the post was sent.
  if (!visibility.equal(py::str("PUBLIC")) && !visibility.equal(py::str("CONNECTIONS"))) {
    pyutil::raise_error("ConfigurationError",
                        py::str("`visibility` PUBLIC yoki CONNECTIONS bo'lishi kerak"));
  }
  Task<py::object> publishing = publish(
      self, token,
      post_object(author_urn(author), text_value, visibility, article_url, article_title));
  co_return co_await std::move(publishing);
}

PyObject* create_post(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self",       "token",       "author",        "text",
                                     "visibility", "article_url", "article_title", nullptr};
    PyObject *self = nullptr, *token = nullptr, *author = nullptr, *text_value = nullptr;
    PyObject *visibility = nullptr, *article_url = Py_None, *article_title = Py_None;
    pyutil::parse_args(args, kwargs, "OOOO|$OOO:create_post", keywords, &self, &token, &author,
                       &text_value, &visibility, &article_url, &article_title);
    py::str visibility_text = visibility ? text(visibility, "create_post", "visibility")
                                         : py::str("PUBLIC");
    return bridge::as_coroutine(
        create_post_task(self_of(self), text(token, "create_post", "token"),
                         text(author, "create_post", "author"),
                         text(text_value, "create_post", "text"), visibility_text,
                         text_or_none(article_url, "create_post", "article_url"),
                         text_or_none(article_title, "create_post", "article_title")),
        "LinkedIn.create_post");
  });
}

// ---- delete_post ----

Task<py::object> delete_post_task(py::object self, py::str token, py::str post_urn) {
  // The whole URN is one path segment: its colons go out as %3A.
  std::string path = "posts/";
  core::percent_encode_into(path, pyutil::utf8(post_urn));
  py::object deleting = self.attr("request")("DELETE", posts_url(path),
                                             py::arg("headers") = self.attr("_headers")(token));
  co_await std::move(deleting);
  py::dict out;
  out["deleted"] = py::bool_(true);
  out["urn"] = post_urn;
  co_return out;
}

PyObject* delete_post(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "token", "post_urn", nullptr};
    PyObject *self = nullptr, *token = nullptr, *post_urn = nullptr;
    pyutil::parse_args(args, kwargs, "OOO:delete_post", keywords, &self, &token, &post_urn);
    return bridge::as_coroutine(
        delete_post_task(self_of(self), text(token, "delete_post", "token"),
                         text(post_urn, "delete_post", "post_urn")),
        "LinkedIn.delete_post");
  });
}

PyMethodDef post_methods[] = {
    pyutil::method_def(
        "posts", posts,
        "posts(self, token, author, *, start=0, count=10)\n--\n\n"
        "One page of the posts of author (a URN, or a member's bare sub) as LinkedIn answers "
        "it; call again with a larger start for the next page. Sent as LinkedIn's author finder "
        "(X-RestLi-Method: FINDER). Needs LinkedIn's Community Management API product: "
        "without it, a PermissionError that says so."),
    pyutil::method_def(
        "create_post", create_post,
        "create_post(self, token, author, text, *, visibility='PUBLIC', article_url=None, "
        "article_title=None)\n--\n\n"
        "Publishes a text post of author (a URN or a bare sub), with a link card when "
        "article_url is given (titled article_title, else the link). Sent exactly once, "
        "without retries. Returns {'id': the new post's URN (None if LinkedIn gave none), "
        "'body': the answer}. visibility is PUBLIC or CONNECTIONS, else ConfigurationError "
        "before anything is sent."),
    pyutil::method_def(
        "delete_post", delete_post,
        "delete_post(self, token, post_urn)\n--\n\n"
        "Deletes the post post_urn; returns {'deleted': True, 'urn': post_urn}."),
};

}  // namespace

void add_post_methods(pyutil::ClassBuilder& cls) {
  for (auto& def : post_methods) cls.method(&def);
}

}  // namespace corvane::linkedin
