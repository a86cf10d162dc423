// The long lists of an account, streamed: its media and a media object's comments as async
// iterators that hold one page at a time (BaseClient._iterate), for backfills that would not
// fit a list.
#include "modules/instagram/internal.hpp"
#include "py/errors.hpp"

namespace corvane::instagram {
namespace {

using pyutil::guarded;

py::object stream(py::handle self, py::handle url, py::handle token, const char* fields) {
  py::dict query;
  query["fields"] = field_set(fields);
  return graph::iterate_signed(self, url, token, query);
}

PyObject* iter_media(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "token", "ig_user_id", nullptr};
    PyObject *self = nullptr, *token = nullptr, *ig_user_id = Py_None;
    pyutil::parse_args(args, kwargs, "OO|$O:iter_media", keywords, &self, &token, &ig_user_id);
    py::object checked = graph::token(token, "iter_media", "token");
    py::str node = account_node(self, ig_user_id, "iter_media");
    py::object url = py::handle(self).attr("graph").attr("edge")(node, "media");
    return stream(self, url, checked, "IG_MEDIA");
  });
}

PyObject* iter_comments(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "media_id", "token", nullptr};
    PyObject *self = nullptr, *media_id = nullptr, *token = nullptr;
    pyutil::parse_args(args, kwargs, "OOO:iter_comments", keywords, &self, &media_id, &token);
    py::str node = graph::node_id(media_id, "iter_comments", "media_id");
    py::object checked = graph::token(token, "iter_comments", "token");
    py::object url = py::handle(self).attr("graph").attr("edge")(node, "comments");
    return stream(self, url, checked, "IG_COMMENT");
  });
}

PyMethodDef listing_methods[] = {
    pyutil::method_def(
        "iter_media", iter_media,
        "iter_media(self, token, *, ig_user_id=None)\n--\n\n"
        "An async iterator over all the account's media objects (Fields.IG_MEDIA), as the "
        "platform sends them, newest first. The next page is fetched only when the previous "
        "one is used up. ig_user_id: the account (required in the Facebook-login mode; else "
        "'me')."),
    pyutil::method_def(
        "iter_comments", iter_comments,
        "iter_comments(self, media_id, token)\n--\n\n"
        "An async iterator over all the media object's comments (Fields.IG_COMMENT), as the "
        "platform sends them, one page held at a time."),
};

}  // namespace

void add_listing_methods(pyutil::ClassBuilder& cls) {
  for (auto& def : listing_methods) cls.method(&def);
}

}  // namespace corvane::instagram
