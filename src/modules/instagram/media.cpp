// The account's own content: its profile, its media, the statistics of one media object, and
// publishing an image or a video (container, processing, publish).
#include <string>

#include "modules/instagram/internal.hpp"
#include "py/errors.hpp"
#include "py/values.hpp"

namespace corvane::instagram {
namespace {

using pyutil::guarded;
using pyutil::member;
using pyutil::truthy;

py::object upper_or_empty(py::handle value) {
  if (!truthy(value)) return py::str("");
  return pyutil::text_form(value).attr("upper")();
}

// ---- profile ----

Task<py::object> profile_task(py::object self, py::object node, py::object token,
                              py::object fields) {
  py::object url = self.attr("graph").attr("node")(node);
  py::object data = co_await self.attr("_get")(url, token, py::arg("fields") = fields);
  py::object id = member(data, "id");
  if (id.is_none()) answer_error(self, "Instagram javobida `id` yo'q", data);
  co_return state().profile.get()(
      py::arg("id") = pyutil::text_form(id), py::arg("platform") = "instagram",
      py::arg("username") = member(data, "username"), py::arg("full_name") = member(data, "name"),
      py::arg("picture") = member(data, "profile_picture_url"),
      py::arg("bio") = member(data, "biography"), py::arg("website") = member(data, "website"),
      py::arg("account_type") = member(data, "account_type"),
      py::arg("followers_count") = member(data, "followers_count"),
      py::arg("follows_count") = member(data, "follows_count"),
      py::arg("media_count") = member(data, "media_count"), py::arg("raw") = data);
}

PyObject* profile(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "token", "ig_user_id", nullptr};
    PyObject *self = nullptr, *token = nullptr, *ig_user_id = Py_None;
    pyutil::parse_args(args, kwargs, "OO|$O:profile", keywords, &self, &token, &ig_user_id);
    py::str node = account_node(self, ig_user_id, "profile");
    // Each host knows its own members: the Graph API host refuses account_type, the
    // Instagram Graph host knows neither biography nor website.
    py::object fields = field_set(via_facebook(self) ? "IG_PROFILE_FB" : "IG_PROFILE");
    return bridge::as_coroutine(profile_task(own(self), node, own(token), fields),
                                "Instagram.profile");
  });
}

// ---- media ----

Task<py::object> media_task(py::object self, py::object node, py::object token,
                            py::object limit) {
  py::object url = self.attr("graph").attr("edge")(node, "media");
  py::object fields = field_set("IG_MEDIA");
  py::object items = co_await self.attr("_list")(url, token, py::arg("max_items") = limit,
                                                 py::arg("fields") = fields);
  co_return items;
}

PyObject* media(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "token", "ig_user_id", "limit", nullptr};
    PyObject *self = nullptr, *token = nullptr, *ig_user_id = Py_None, *limit = nullptr;
    pyutil::parse_args(args, kwargs, "OO|$OO:media", keywords, &self, &token, &ig_user_id,
                       &limit);
    py::str node = account_node(self, ig_user_id, "media");
    return bridge::as_coroutine(
        media_task(own(self), node, own(token), limit ? own(limit) : py::int_(25)),
        "Instagram.media");
  });
}

// ---- media_insights ----

Task<py::object> media_insights_task(py::object self, py::object media_id, py::object token) {
  py::object graph_urls = self.attr("graph");
  py::object info = co_await self.attr("_get")(graph_urls.attr("node")(media_id), token,
                                               py::arg("fields") = "id,media_type,media_product_type");
  // The product type wins: a reel is a VIDEO and a story an IMAGE or VIDEO by media type,
  // but each has metrics of its own.
  py::dict table = constant("_MEDIA_METRICS");
  py::object kind = upper_or_empty(member(info, "media_product_type"));
  if (!table.contains(kind)) kind = upper_or_empty(member(info, "media_type"));
  py::object metric = table.contains(kind) ? py::object(table[kind]) : constant("_DEFAULT_METRICS");

  py::dict query;
  query["metric"] = metric;
  // Old posts may have no statistics at all: the platform answers with an error.
  graph::Tolerated answer = co_await graph::get_tolerating_refusal(
      self, graph_urls.attr("edge")(media_id, "insights"), token, std::move(query));
  if (answer.refusal) {
    log_info("Media %s uchun insight yo'q: %s", media_id, answer.refusal);
    co_return py::dict();
  }
  py::dict metrics;
  for (py::handle item : items_of(member(answer.data, "data"))) {
    py::object name = member(item, "name");
    if (name.is_none()) answer_error(self, "Insight javobida `name` yo'q", answer.data);
    py::list values = items_of(member(item, "values"));
    metrics[name] = values.empty() ? py::none() : member(values[0], "value");
  }
  co_return metrics;
}

PyObject* media_insights(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "media_id", "token", nullptr};
    PyObject *self = nullptr, *media_id = nullptr, *token = nullptr;
    pyutil::parse_args(args, kwargs, "OOO:media_insights", keywords, &self, &media_id, &token);
    return bridge::as_coroutine(
        media_insights_task(own(self), graph::node_id(media_id, "media_insights", "media_id"),
                            own(token)),
        "Instagram.media_insights");
  });
}

// ---- publish, _await_container ----

// Polls a video container until the platform has processed it: "FINISHED" returns,
// "ERROR" raises, anything else pauses and asks again, at most _PUBLISH_ATTEMPTS times.
Task<py::object> await_container_task(py::object self, py::object container_id,
                                      py::object token) {
  const long attempts = constant("_PUBLISH_ATTEMPTS").cast<long>();
  const double delay = constant("_PUBLISH_DELAY").cast<double>();
  py::object url = self.attr("graph").attr("node")(container_id);
  for (long attempt = 0; attempt < attempts; ++attempt) {
    py::object status =
        co_await self.attr("_get")(url, token, py::arg("fields") = "status_code,status");
    py::object code = member(status, "status_code");
    if (PyUnicode_Check(code.ptr())) {
      const std::string_view text = pyutil::utf8(code);
      if (text == "FINISHED") co_return py::none();
      if (text == "ERROR") {
        std::string message = "Video qayta ishlanmadi: ";
        message.append(pyutil::utf8(pyutil::text_form(member(status, "status"))));
        answer_error(self, message.c_str(), status);
      }
    }
    co_await bridge::sleep(delay);
  }
  answer_error(self, "Video qayta ishlash vaqti tugadi (60s)", py::handle());
}

PyObject* await_container(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self", "container_id", "token", nullptr};
    PyObject *self = nullptr, *container_id = nullptr, *token = nullptr;
    pyutil::parse_args(args, kwargs, "OOO:_await_container", keywords, &self, &container_id,
                       &token);
    return bridge::as_coroutine(
        await_container_task(own(self),
                             graph::node_id(container_id, "_await_container", "container_id"),
                             own(token)),
        "Instagram._await_container");
  });
}

Task<py::object> publish_task(py::object self, py::object node, py::object token,
                              py::dict container_values, bool video) {
  py::object graph_urls = self.attr("graph");
  py::object container =
      co_await self.attr("_post")(graph_urls.attr("edge")(node, "media"), token,
                                  **container_values);
  py::object creation_id = member(container, "id");
  if (!truthy(creation_id)) answer_error(self, "Container yaratilmadi", container);
  // An image container is ready at once; a video one needs processing first.
  if (video) co_await self.attr("_await_container")(creation_id, token);
  py::object published = co_await self.attr("_post")(
      graph_urls.attr("edge")(node, "media_publish"), token, py::arg("creation_id") = creation_id);
  py::dict result;
  result["container_id"] = creation_id;
  result["media_id"] = member(published, "id");
  co_return result;
}

PyObject* publish(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"self",      "token",     "ig_user_id", "caption",
                                     "image_url", "video_url", "is_reel",    nullptr};
    PyObject *self = nullptr, *token = nullptr, *ig_user_id = Py_None, *caption = Py_None;
    PyObject *image_url = Py_None, *video_url = Py_None, *is_reel = Py_False;
    pyutil::parse_args(args, kwargs, "OO|$OOOOO:publish", keywords, &self, &token, &ig_user_id,
                       &caption, &image_url, &video_url, &is_reel);
    py::object caption_text = graph::text_or_none(caption, "publish", "caption");
    py::object image = graph::text_or_none(image_url, "publish", "image_url");
    py::object video = graph::text_or_none(video_url, "publish", "video_url");
    if (!truthy(image) && !truthy(video)) {
      pyutil::raise_error("ConfigurationError",
                          py::str("`image_url` yoki `video_url` dan biri kerak"));
    }
    py::str node = account_node(self, ig_user_id, "publish");
    py::dict values;
    if (truthy(caption_text)) values["caption"] = caption_text;
    const bool is_video = truthy(video);
    if (is_video) {
      values["video_url"] = video;
      // The platform no longer takes "VIDEO": every video is published as a reel, so
      // is_reel changes nothing.
      values["media_type"] = "REELS";
    } else {
      values["image_url"] = image;
    }
    return bridge::as_coroutine(publish_task(own(self), node, own(token), values, is_video),
                                "Instagram.publish");
  });
}

PyMethodDef media_methods[] = {
    pyutil::method_def(
        "profile", profile,
        "profile(self, token, *, ig_user_id=None)\n--\n\n"
        "The account's Profile. The field set depends on the host: Fields.IG_PROFILE "
        "(Instagram login) or Fields.IG_PROFILE_FB (Facebook login); a member the answer lacks "
        "is None in the Profile. ig_user_id: the account (required in the Facebook-login "
        "mode; else 'me')."),
    pyutil::method_def(
        "media", media,
        "media(self, token, *, ig_user_id=None, limit=25)\n--\n\n"
        "The account's media objects as the platform sends them, at most limit in total "
        "across pages."),
    pyutil::method_def(
        "media_insights", media_insights,
        "media_insights(self, media_id, token)\n--\n\n"
        "The statistics of one media object as {metric name: value}. The metrics are chosen "
        "by its product type (REELS, STORY), else its media type, else the default list. {} "
        "when the platform has none for it (logged at info level)."),
    pyutil::method_def(
        "publish", publish,
        "publish(self, token, *, ig_user_id=None, caption=None, image_url=None, "
        "video_url=None, is_reel=False)\n--\n\n"
        "Publishes one image or video from a public HTTPS link (the platform downloads it): "
        "creates the container, waits for a video to be processed (polling every "
        "_PUBLISH_DELAY seconds, at most _PUBLISH_ATTEMPTS times), then publishes it. Returns "
        "{'container_id', 'media_id'}. A video link wins over an image link. Every video goes "
        "out as media_type REELS (the platform no longer takes VIDEO), so is_reel is kept for "
        "callers but changes nothing. ConfigurationError without either link; ApiError when "
        "no container is made, processing fails or times out (the container then stays "
        "unpublished on the platform)."),
    pyutil::method_def(
        "_await_container", await_container,
        "_await_container(self, container_id, token)\n--\n\n"
        "Returns once the video container's status_code is FINISHED; ApiError on ERROR (with "
        "the status as payload) or after _PUBLISH_ATTEMPTS unfinished polls. The first poll is "
        "at once, each unfinished one is followed by asyncio.sleep(_PUBLISH_DELAY)."),
};

}  // namespace

void add_media_methods(pyutil::ClassBuilder& cls) {
  for (auto& def : media_methods) cls.method(&def);
}

}  // namespace corvane::instagram
