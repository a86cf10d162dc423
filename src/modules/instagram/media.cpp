// The account's own content: its profile, its media, the statistics of one media object, and
// publishing an image or a video (container, processing, publish).
#include <optional>
#include <string>

#include "modules/instagram/internal.hpp"

namespace corvane::instagram {
namespace {

py::object upper_or_empty(py::handle value) {
  if (!truthy(value)) return py::str("");
  return pyutil::text_form(value).attr("upper")();
}

// ---- profile ----

Task<py::object> profile_task(py::object self, Args args) {
  // Each host knows its own members: the Graph API host refuses account_type, the Instagram
  // Graph host knows neither biography nor website.
  py::object asking =
      graph::get(self, graph::node(self, account_node(self, args[1])), args[0],
                 graph::fields(via_facebook(self) ? "IG_PROFILE_FB" : "IG_PROFILE"));
  py::object data = graph::require_json(self, co_await std::move(asking));
  py::object id = member(data, "id");
  if (id.is_none()) answer_error(self, texts::kNoId, data);
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

// ---- media ----

Task<py::object> media_task(py::object self, Args args) {
  co_return co_await graph::list(self, graph::edge(self, account_node(self, args[1]), "media"),
                                 args[0], graph::fields("IG_MEDIA"), args[2]);
}

// ---- media_insights ----

Task<py::object> media_insights_task(py::object self, Args args) {
  const py::object &media_id = args[0], &token = args[1];
  std::optional<Task<graph::Tolerated>> asking;  // made once the media type is known
  {
    py::dict fields;
    fields["fields"] = "id,media_type,media_product_type";
    py::object info_call = graph::get(self, graph::node(self, media_id), token, std::move(fields));
    py::object info = graph::require_json(self, co_await std::move(info_call));
    // The product type wins: a reel is a VIDEO and a story an IMAGE or VIDEO by media type,
    // but each has metrics of its own.
    py::dict table = constant("_MEDIA_METRICS");
    py::object kind = upper_or_empty(member(info, "media_product_type"));
    if (!table.contains(kind)) kind = upper_or_empty(member(info, "media_type"));
    py::dict query;
    query["metric"] =
        table.contains(kind) ? py::object(table[kind]) : constant("_DEFAULT_METRICS");
    // Old posts may have no statistics at all: the platform answers with an error.
    asking.emplace(graph::get_tolerating_refusal(
        self, graph::edge(self, media_id, "insights"), token, std::move(query)));
  }
  graph::Tolerated answer = co_await std::move(*asking);
  if (answer.refusal) {
    state().log("info", texts::kNoMediaInsights, media_id, answer.refusal);
    co_return py::dict();
  }
  py::dict metrics;
  for (py::handle item : items_of(member(answer.data, "data"))) {
    py::object name = member(item, "name");
    if (name.is_none()) answer_error(self, graph::texts::kNoInsightName, answer.data);
    py::list values = items_of(member(item, "values"));
    metrics[name] = values.empty() ? py::none() : member(values[0], "value");
  }
  co_return metrics;
}

// ---- publish, _await_container ----

// Polls a video container until the platform has processed it: "FINISHED" returns,
// "ERROR" raises, anything else pauses and asks again, at most _PUBLISH_ATTEMPTS times.
Task<py::object> await_container_task(py::object self, Args args) {
  const long attempts = constant("_PUBLISH_ATTEMPTS").cast<long>();
  const double delay = constant("_PUBLISH_DELAY").cast<double>();
  const bridge::Rooted<> url = graph::node(self, args[0]);
  for (long attempt = 0; attempt < attempts; ++attempt) {
    py::dict query;
    query["fields"] = "status_code,status";
    py::object asking = graph::get(self, url, args[1], std::move(query));
    {
      py::object status = graph::require_json(self, co_await std::move(asking));
      py::object code = member(status, "status_code");
      if (PyUnicode_Check(code.ptr())) {
        const std::string_view text = pyutil::utf8(code);
        if (text == "FINISHED") co_return py::none();
        if (text == "ERROR") {
          std::string message = texts::kVideoFailed;
          message.append(pyutil::utf8(pyutil::text_form(member(status, "status"))));
          answer_error(self, message.c_str(), status);
        }
      }
    }
    co_await bridge::sleep(delay);
  }
  answer_error(self, texts::kVideoTimeout, py::handle());
}

Task<py::object> publish_task(py::object self, Args args) {
  const py::object& token = args[0];
  bridge::Rooted<> publish_url;
  py::object creating;
  bool video = false;
  {
    py::object image = args[3], video_url = args[4];
    if (!truthy(image) && !truthy(video_url)) {
      pyutil::raise_error("ConfigurationError", py::str(texts::kImageOrVideo));
    }
    py::str node = account_node(self, args[1]);
    publish_url = graph::edge(self, node, "media_publish");
    py::dict values;
    if (truthy(args[2])) values["caption"] = args[2];
    video = truthy(video_url);
    if (video) {
      values["video_url"] = video_url;
      // The platform no longer takes "VIDEO": every video is published as a reel, so
      // is_reel changes nothing.
      values["media_type"] = "REELS";
    } else {
      values["image_url"] = image;
    }
    creating = graph::post(self, graph::edge(self, node, "media"), token, values);
  }
  bridge::Rooted<> creation_id;
  {
    py::object container = graph::require_json(self, co_await std::move(creating));
    creation_id = member(container, "id");
    if (!truthy(creation_id)) answer_error(self, texts::kNoContainer, container);
  }
  // An image container is ready at once; a video one needs processing first.
  if (video) {
    py::object processing = self.attr(pyutil::name<"_await_container">())(creation_id, token);
    co_await std::move(processing);
  }
  py::dict query;
  query["creation_id"] = creation_id;
  py::object publishing = graph::post(self, publish_url, token, std::move(query));
  py::object published = graph::require_json(self, co_await std::move(publishing));
  py::dict result;
  result["container_id"] = creation_id;
  result["media_id"] = member(published, "id");
  co_return result;
}

}  // namespace

const binder::Operation kMediaOperations[] = {
    {"profile",
     {kToken, kIgUserId},
     "The account's Profile. The field set depends on the host: Fields.IG_PROFILE "
     "(Instagram login) or Fields.IG_PROFILE_FB (Facebook login); a member the answer lacks "
     "is None in the Profile. ig_user_id: the account (required in the Facebook-login "
     "mode; else 'me').",
     profile_task},
    {"media",
     {kToken, kIgUserId, {"limit", &binder::kCount, "25", true}},
     "The account's media objects as the platform sends them, at most limit in total "
     "across pages.",
     media_task},
    {"media_insights",
     {{"media_id", &graph::kNodeId}, kToken},
     "The statistics of one media object as {metric name: value}. The metrics are chosen "
     "by its product type (REELS, STORY), else its media type, else the default list. {} "
     "when the platform has none for it (logged at info level).",
     media_insights_task},
    {"publish",
     {kToken, kIgUserId, {"caption", &binder::kTextOrNone, "None", true},
      {"image_url", &binder::kTextOrNone, "None", true},
      {"video_url", &binder::kTextOrNone, "None", true},
      {"is_reel", &binder::kFlag, "False", true}},
     "Publishes one image or video from a public HTTPS link (the platform downloads it): "
     "creates the container, waits for a video to be processed (polling every "
     "_PUBLISH_DELAY seconds, at most _PUBLISH_ATTEMPTS times), then publishes it. Returns "
     "{'container_id', 'media_id'}. A video link wins over an image link. Every video goes "
     "out as media_type REELS (the platform no longer takes VIDEO), so is_reel is kept for "
     "callers but changes nothing. ConfigurationError without either link; ApiError when "
     "no container is made, processing fails or times out (the container then stays "
     "unpublished on the platform).",
     publish_task},
    {"_await_container",
     {{"container_id", &graph::kNodeId}, kToken},
     "Returns once the video container's status_code is FINISHED; ApiError on ERROR (with "
     "the status as payload) or after _PUBLISH_ATTEMPTS unfinished polls. The first poll is "
     "at once, each unfinished one is followed by asyncio.sleep(_PUBLISH_DELAY).",
     await_container_task},
};
const binder::MethodGroup add_media_methods = binder::group<kMediaOperations, "Instagram">;

}  // namespace corvane::instagram
