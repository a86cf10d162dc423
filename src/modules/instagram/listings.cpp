// The long lists of an account, streamed: its media, a media object's comments, the Direct
// inbox and a conversation's messages as async iterators that hold one page at a time
// (BaseClient._iterate), for backfills that would not fit a list.
#include "modules/instagram/internal.hpp"
#include "py/errors.hpp"
#include "py/values.hpp"

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

// The inbox page by page, each conversation shaped as conversations() shapes it. With enrich,
// a page's customers are looked up (_enrich, its bounded concurrency) before the first of its
// conversations is handed out, so a profile is fetched once per page, not once per item.
PyObject* iter_conversations(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "token", "ig_user_id", "page_id", "enrich", nullptr};
    PyObject *self = nullptr, *token = nullptr, *ig_user_id = Py_None, *page_id = Py_None;
    PyObject* enrich = Py_True;
    pyutil::parse_args(args, kwargs, "OO|$OOO:iter_conversations", keywords, &self, &token,
                       &ig_user_id, &page_id, &enrich);
    py::object account = graph::text_or_none(ig_user_id, "iter_conversations", "ig_user_id");
    py::object page = graph::text_or_none(page_id, "iter_conversations", "page_id");
    py::object checked = graph::token(token, "iter_conversations", "token");
    py::handle client(self);
    py::str node = inbox_node(client, page, "iter_conversations");
    py::dict query;
    query["fields"] = field_set("IG_CONVERSATION");
    // conversations()' page: a page's profiles come before its first item, so a smaller page
    // hands out its first conversation sooner.
    query["limit"] = py::int_(25);
    if (via_facebook(client)) query["platform"] = "instagram";
    py::set business = business_ids_of(account, page);
    py::object partial = py::module_::import("functools").attr("partial");
    py::object shape = partial(client.attr("_shape"), py::arg("business_ids") = business);
    py::object url = client.attr("graph").attr("edge")(node, "conversations");
    py::object params = client.attr("_signed")(checked, query);
    if (!pyutil::truthy(enrich)) {
      return client.attr("_iterate")(url, py::arg("params") = params,
                                     py::arg("convert") = shape);
    }
    py::object each_page = partial(client.attr("_enrich"), py::arg("token") = checked,
                                   py::arg("business_ids") = business);
    return client.attr("_iterate")(url, py::arg("params") = params, py::arg("convert") = shape,
                                   py::arg("each_page") = each_page);
  });
}

PyObject* iter_messages(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "conversation_id", "token", nullptr};
    PyObject *self = nullptr, *conversation_id = nullptr, *token = nullptr;
    pyutil::parse_args(args, kwargs, "OOO:iter_messages", keywords, &self, &conversation_id,
                       &token);
    py::str node = graph::node_id(conversation_id, "iter_messages", "conversation_id");
    py::object checked = graph::token(token, "iter_messages", "token");
    // The conversation's own edge, so that the paging cursor runs over messages.
    py::object url = py::handle(self).attr("graph").attr("edge")(node, "messages");
    return stream(self, url, checked, "IG_MESSAGE");
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
    pyutil::method_def(
        "iter_conversations", iter_conversations,
        "iter_conversations(self, token, *, ig_user_id=None, page_id=None, enrich=True)\n--\n\n"
        "An async iterator over all the Direct conversations, each shaped as conversations() "
        "shapes it, one page held at a time. With enrich, a page's distinct customers are "
        "looked up before its first conversation is handed out (in Graph batches of 50 in the "
        "Facebook-login mode, else contact(), at most _PROFILE_CONCURRENCY at a time). The "
        "Facebook-login mode reads the Page's inbox and needs page_id (else "
        "ConfigurationError)."),
    pyutil::method_def(
        "iter_messages", iter_messages,
        "iter_messages(self, conversation_id, token)\n--\n\n"
        "An async iterator over all a conversation's messages (Fields.IG_MESSAGE), as the "
        "platform sends them, one page held at a time."),
};

}  // namespace

void add_listing_methods(pyutil::ClassBuilder& cls) {
  for (auto& def : listing_methods) cls.method(&def);
}

}  // namespace corvane::instagram
