// Facebook Pages: the user's Pages with their page tokens, and the Page's webhook
// subscription (without it, an app-level webhook delivers nothing for that Page).
#include "modules/facebook/internal.hpp"
#include "py/values.hpp"

namespace corvane::facebook {
namespace {

using pyutil::guarded;
using pyutil::member;
using pyutil::own;
using pyutil::truthy;

// ---- pages ----

Task<py::object> pages_task(py::object self, py::object token) {
  py::object url = self.attr("graph").attr("my_accounts")();
  py::object fields = py::reinterpret_borrow<py::object>(state().page_fields.get());
  py::object items_call = self.attr("_list")(url, token, py::arg("fields") = fields);
  py::object items = co_await std::move(items_call);
  co_return records(state().page.get(), items);
}

PyObject* pages(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "token", nullptr};
    PyObject *self = nullptr, *token = nullptr;
    pyutil::parse_args(args, kwargs, "OO:pages", keywords, &self, &token);
    return bridge::as_coroutine(pages_task(own(self), graph::token(token, "pages", "token")),
                                "Facebook.pages");
  });
}

// ---- subscribe_page, subscriptions, unsubscribe_page ----

Task<py::object> subscribe_task(py::object self, py::object page_id, py::object page_token,
                                py::object fields) {
  py::object url = self.attr("graph").attr("edge")(page_id, "subscribed_apps");
  py::object chosen = truthy(fields) ? fields
                                     : py::reinterpret_borrow<py::object>(state().webhook_fields.get());
  py::object joined = graph::join_commas(chosen);
  py::object data_call = self.attr("_post")(url, page_token, py::arg("subscribed_fields") = joined);
  py::object data = graph::require_json(self, co_await std::move(data_call));
  co_return py::bool_(truthy(member(data, "success")));
}

PyObject* subscribe_page(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "page_id", "page_token", "fields", nullptr};
    PyObject *self = nullptr, *page_id = nullptr, *page_token = nullptr, *fields = Py_None;
    pyutil::parse_args(args, kwargs, "OOO|O:subscribe_page", keywords, &self, &page_id,
                       &page_token, &fields);
    return bridge::as_coroutine(
        subscribe_task(own(self), graph::node_id(page_id, "subscribe_page", "page_id"),
                       graph::token(page_token, "subscribe_page", "page_token"),
                       graph::text_list(fields, "subscribe_page", "fields")),
        "Facebook.subscribe_page");
  });
}

Task<py::object> subscriptions_task(py::object self, py::object page_id, py::object page_token) {
  py::object url = self.attr("graph").attr("edge")(page_id, "subscribed_apps");
  // One request: the list is short, and a diagnostic should not page.
  py::object data_call = self.attr("_get")(url, page_token);
  py::object data = graph::require_json(self, co_await std::move(data_call));
  py::object entries = member(data, "data");
  co_return truthy(entries) ? entries : py::list();
}

PyObject* subscriptions(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "page_id", "page_token", nullptr};
    PyObject *self = nullptr, *page_id = nullptr, *page_token = nullptr;
    pyutil::parse_args(args, kwargs, "OOO:subscriptions", keywords, &self, &page_id,
                       &page_token);
    return bridge::as_coroutine(
        subscriptions_task(own(self), graph::node_id(page_id, "subscriptions", "page_id"),
                           graph::token(page_token, "subscriptions", "page_token")),
        "Facebook.subscriptions");
  });
}

Task<py::object> unsubscribe_task(py::object self, py::object page_id, py::object page_token) {
  py::object url = self.attr("graph").attr("edge")(page_id, "subscribed_apps");
  py::object data_call = self.attr("_delete")(url, page_token);
  py::object data = graph::require_json(self, co_await std::move(data_call));
  co_return py::bool_(truthy(member(data, "success")));
}

PyObject* unsubscribe_page(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "page_id", "page_token", nullptr};
    PyObject *self = nullptr, *page_id = nullptr, *page_token = nullptr;
    pyutil::parse_args(args, kwargs, "OOO:unsubscribe_page", keywords, &self, &page_id,
                       &page_token);
    return bridge::as_coroutine(
        unsubscribe_task(own(self), graph::node_id(page_id, "unsubscribe_page", "page_id"),
                         graph::token(page_token, "unsubscribe_page", "page_token")),
        "Facebook.unsubscribe_page");
  });
}

PyMethodDef page_methods[] = {
    pyutil::method_def(
        "pages", pages,
        "pages(self, token)\n--\n\n"
        "The Pages the user of token manages (at most 500), as Page records with their page "
        "tokens (secrets: keep them out of browsers and logs) and linked Instagram accounts."),
    pyutil::method_def(
        "subscribe_page", subscribe_page,
        "subscribe_page(self, page_id, page_token, fields=None)\n--\n\n"
        "Subscribes the Page to the app's webhook for fields (default "
        "DEFAULT_PAGE_WEBHOOK_FIELDS). The page token needs pages_manage_metadata. True when "
        "the platform reports success."),
    pyutil::method_def(
        "subscriptions", subscriptions,
        "subscriptions(self, page_id, page_token)\n--\n\n"
        "The Page's webhook subscriptions as the platform lists them (one request)."),
    pyutil::method_def(
        "unsubscribe_page", unsubscribe_page,
        "unsubscribe_page(self, page_id, page_token)\n--\n\n"
        "Removes the app's webhook subscription of the Page. True when the platform reports "
        "success."),
};

}  // namespace

void add_page_methods(pyutil::ClassBuilder& cls) {
  for (auto& def : page_methods) cls.method(&def);
}

}  // namespace corvane::facebook
