// LinkedIn.iter_posts: the posts of an author as an async iterator (bridge/page_walk.hpp),
// page by page through the author finder's start/count paging, so that a company page with
// years of posts is held one page at a time.
//
// Theory of operation: the pages keep their client, token and author; Paging (paging.cpp) says
// where the next page starts and when the walk ends. Every page goes through posts_page, so
// retries, error mapping, secret masking and the PermissionError that names what reading needs
// are those of LinkedIn.posts.
#include <Python.h>

#include <memory>

#include "bridge/page_walk.hpp"
#include "modules/linkedin/internal.hpp"

namespace corvane::linkedin {
namespace {

// LinkedIn serves at most 100 posts per finder call.
constexpr long kMaxPageSize = 100;

PyTypeObject* walk_type = nullptr;

// An author's posts, page_size at a time. The token is never shown: the walk has no repr of
// its own.
class PostPages final : public bridge::PageSource {
 public:
  PostPages(py::handle client, py::str token, py::str author, long page_size)
      : client_(py::reinterpret_borrow<py::object>(client)),
        token_(std::move(token)),
        author_(std::move(author)),
        paging_(page_size) {}

  std::span<py::object* const> held() override { return held_; }

  std::optional<Task<py::object>> fetch() override {
    if (paging_.done()) return std::nullopt;
    return posts_page(client_, py::reinterpret_borrow<py::str>(token_), author_,
                      py::int_(paging_.next_start()), py::int_(paging_.count()));
  }

  py::object take(py::object answer) override {
    py::dict page = object_answer(require_json(client_, std::move(answer)), "iter_posts");
    return paging_.take(page);
  }

 private:
  py::object client_;  // the LinkedIn client whose request() fetches the pages
  py::object token_;   // the member's token
  py::object author_;  // the author URN
  py::object* const held_[3] = {&client_, &token_, &author_};
  Paging paging_;
};

// A page size LinkedIn serves: from 1 to 100 posts per finder call.
py::object page_size_of(py::handle value, const char* operation, const char* parameter) {
  py::object size = binder::count(value, operation, parameter);
  const long n = pyutil::whole_number(size).value_or(0);  // 0 when too large for a long
  if (n < 1 || n > kMaxPageSize) {
    binder::wrong_value(value, operation, parameter, "from 1 to 100");
  }
  return size;
}

const binder::Kind kPageSize{"int", page_size_of};

py::object iter_posts_now(py::object self, binder::Args args) {
  auto pages =
      std::make_unique<PostPages>(self, py::str(args[0]), py::str(args[1]), args[2].cast<long>());
  return bridge::new_page_walk(walk_type, std::move(pages), "iter_posts",
                               "LinkedIn.iter_posts.__anext__");
}

const binder::Operation kWalkOperations[] = {
    {"iter_posts",
     {{"token", &binder::kText}, {"author", &kAuthor}, {"page_size", &kPageSize, "50", true}},
     "An async iterator over the posts of author (a URN, or a member's bare sub), newest "
     "first, page_size (1 to 100) per request. The next page is asked for only when the "
     "previous one is used up; the walk ends at an empty or short page, at LinkedIn's "
     "total, and at a page LinkedIn answers again. Errors are those of posts().",
     nullptr, iter_posts_now},
};

}  // namespace

py::tuple add_walk_methods(pyutil::ClassBuilder& cls) {
  if (walk_type == nullptr) {
    walk_type = bridge::make_page_walk_type(
        "corvane.linkedin._PostWalk", "The posts of a LinkedIn author, page by page (iter_posts).");
  }
  return binder::add_methods<kWalkOperations>(cls, "LinkedIn");
}

}  // namespace corvane::linkedin
