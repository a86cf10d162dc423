// LinkedIn posts through the versioned REST API: listing by author, publishing a text post
// with an optional link, and deleting by URN.
#include <string>

#include "core/percent.hpp"
#include "modules/linkedin/internal.hpp"

namespace corvane::linkedin {

constexpr const char* kOrganizationPrefix = "urn:li:organization:";

// ---- posts ----

Task<py::object> posts_page(py::object self, py::str token, py::object author, py::object start,
                            py::object count) {
  py::object answer;
  py::object refused;  // the PermissionError, rewrapped once the handler is left
  try {
    py::dict query;
    query["q"] = "author";
    query["author"] = author;
    query["start"] = start;
    query["count"] = count;
    answer = co_await find(self, token, "posts", std::move(query));
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
        pyutil::make_error("PermissionError", py::str(texts::kNoCommunityManagement), fields);
    // A company page's posts need more than the product: the scope and a role on the page.
    if (pyutil::truthy(py::str(author).attr("startswith")(kOrganizationPrefix))) {
      add_note(error, texts::kOrganizationNote);
    }
    pyutil::raise_from(error, refused);
  }
  co_return answer;
}

namespace {

Task<py::object> posts_task(py::object self, Args args) {
  py::object answer =
      co_await posts_page(std::move(self), py::str(args[0]), args[1], args[2], args[3]);
  co_return object_answer(answer, "posts");
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

Task<py::object> create_post_task(py::object self, Args args) {
  // Checked before any I/O: LinkedIn would refuse anything else after the post was sent.
  const py::object& visibility = args[3];
  if (!visibility.equal(py::str("PUBLIC")) && !visibility.equal(py::str("CONNECTIONS"))) {
    pyutil::raise_error("ConfigurationError", py::str(texts::kVisibility));
  }
  py::dict post = post_object(args[1], args[2], visibility, args[4], args[5]);
  co_return co_await publish(std::move(self), py::str(args[0]), std::move(post));
}

// ---- delete_post ----

Task<py::object> delete_post_task(py::object self, Args args) {
  // The whole URN is one path segment: its colons go out as %3A.
  std::string path = "posts/";
  core::percent_encode_into(path, pyutil::utf8(args[1]));
  py::dict options;
  options["headers"] = headers(self, args[0]);
  co_await send(self, "DELETE", rest(py::str(path)), std::move(options));
  py::dict out;
  out["deleted"] = py::bool_(true);
  out["urn"] = args[1];
  co_return out;
}

const binder::Param kToken{"token", &binder::kText};
const binder::Param kAuthorParam{"author", &kAuthor};
// The stub's text of the two visibilities; any other str is refused when awaited, in the
// message hosts already know.
const binder::Kind kVisibility{"Literal['PUBLIC', 'CONNECTIONS']", binder::kText.convert};

}  // namespace

const binder::Operation kPostOperations[] = {
    {"posts",
     {kToken, kAuthorParam, {"start", &binder::kCount, "0", true},
      {"count", &binder::kCount, "10", true}},
     "One page of the posts of author (a URN, or a member's bare sub) as LinkedIn answers "
     "it; call again with a larger start for the next page. Sent as LinkedIn's author finder "
     "(X-RestLi-Method: FINDER). Needs LinkedIn's Community Management API product: "
     "without it, a PermissionError that says so.",
     posts_task},
    {"create_post",
     {kToken, kAuthorParam, {"text", &binder::kText},
      {"visibility", &kVisibility, "'PUBLIC'", true},
      {"article_url", &binder::kTextOrNone, "None", true},
      {"article_title", &binder::kTextOrNone, "None", true}},
     "Publishes a text post of author (a URN or a bare sub), with a link card when "
     "article_url is given (titled article_title, else the link). Sent exactly once, "
     "without retries. Returns {'id': the new post's URN (None if LinkedIn gave none), "
     "'body': the answer}. visibility is PUBLIC or CONNECTIONS, else ConfigurationError "
     "before anything is sent.",
     create_post_task},
    {"delete_post",
     {kToken, {"post_urn", &binder::kText}},
     "Deletes the post post_urn; returns {'deleted': True, 'urn': post_urn}.",
     delete_post_task},
};
const binder::MethodGroup add_post_methods = binder::group<kPostOperations, "LinkedIn">;

}  // namespace corvane::linkedin
