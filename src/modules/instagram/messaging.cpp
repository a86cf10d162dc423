// Comment moderation and the Direct inbox: conversations shaped for a front end (the business
// apart from its customers), enriched with each customer's profile; messages; sending.
//
// Enrichment looks each distinct customer of the page up once, and changes the participants
// only after every look-up has finished: in the Facebook-login mode in Graph batches of at most
// 50 look-ups (graph.facebook.com has batch); in the Instagram-login mode (graph.instagram.com
// has none) through contact(), at most _PROFILE_CONCURRENCY at a time under a semaphore of
// this call, all awaited together.
#include <string>

#include "modules/instagram/internal.hpp"

namespace corvane::instagram {

py::str inbox_node(py::handle self, py::handle page_id, const char* function) {
  if (!via_facebook(self)) return py::str("me");
  // The Page holds the inbox; "me" would not name it reliably.
  if (!truthy(page_id)) {
    pyutil::raise_error("ConfigurationError", py::str(texts::kPageIdRequired));
  }
  return graph::node_id(page_id, function, "page_id");
}

py::set business_ids_of(py::handle ig_user_id, py::handle page_id) {
  py::set ids;
  for (py::handle id : {ig_user_id, page_id}) {
    if (pyutil::truthy(id)) ids.add(id);
  }
  return ids;
}

namespace {

using graph::edge;
using graph::node;

bool contains(py::handle container, py::handle key) {
  const int found = PySequence_Contains(container.ptr(), key.ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

// The participants of a conversation (participants.data), none when absent.
py::list participants_of(py::handle conversation) {
  return items_of(member(member(conversation, "participants"), "data"));
}

// ---- contact ----

// The contact() answer for a profile look-up that answered `data` or was refused (`refusal`, an
// ApiError).
py::dict profile_of(py::handle igsid, const graph::Tolerated& answer) {
  if (!answer.refusal && PyDict_Check(answer.data.ptr())) {
    py::dict profile = pyutil::copy_dict(answer.data);
    profile["available"] = py::bool_(true);
    return profile;
  }
  py::object reason;
  if (answer.refusal) {
    // The platform opens a profile only to a business the user wrote to, and the permission
    // may be missing: a normal state, not an error.
    state().log("info", texts::kNoProfile, igsid, answer.refusal);
    reason = answer.refusal.attr("message");
  } else {
    reason = py::str(texts::kProfileNotObject);
    state().log("info", texts::kNoProfile, igsid, reason);
  }
  py::dict unavailable;
  unavailable["id"] = igsid;
  unavailable["available"] = py::bool_(false);
  unavailable["reason"] = reason;
  return unavailable;
}

Task<py::object> contact_task(py::object self, Args args) {
  co_return profile_of(args[0], co_await graph::get_tolerating_refusal(
                                    self, node(self, args[0]), args[1],
                                    graph::fields("IG_PARTICIPANT")));
}

// ---- _enrich ----

// The Facebook-login mode: every look-up in Graph batches of at most 50 (graph.facebook.com
// has batch, graph.instagram.com has none). Results as fetch_task gives them.
Task<py::object> batch_lookups_task(py::object self, py::list ids, py::object token) {
  py::list requests;
  bridge::Rooted<py::list> asked;
  bridge::Rooted<py::list> results;
  py::dict params = graph::fields("IG_PARTICIPANT");
  for (py::handle id : ids) {
    try {
      graph::node_id(id, "contact", "igsid");
    } catch (py::value_error& e) {
      // As contact() refuses it: a failed look-up, not a request.
      results.append(py::handle(PyExc_ValueError)(e.what()));
      continue;
    }
    py::dict request;
    request["path"] = id;
    request["params"] = params;
    requests.append(request);
    asked.append(id);
  }
  py::object asking = self.attr(pyutil::name<"batch">())(std::move(requests), token);
  params = py::dict();
  bridge::Rooted<py::list> answers = co_await std::move(asking);
  for (std::size_t i = 0; i < answers.size(); ++i) {
    py::object answer = answers[i];
    graph::Tolerated tolerated;
    if (PyExceptionInstance_Check(answer.ptr())) {
      if (!pyutil::is_kind(answer, "ApiError")) {
        results.append(answer);
        continue;
      }
      tolerated.refusal = answer;
    } else {
      tolerated.data = graph::require_json(self, answer);
    }
    results.append(py::make_tuple(asked[i], profile_of(asked[i], tolerated)));
  }
  co_return results;
}

// _enrich(conversations, token, business_ids).
Task<py::object> enrich_task(py::object self, Args args) {
  const bridge::Rooted<py::list> items = items_of(args[0]);
  py::list ids;
  {
    py::set seen;
    for (py::handle conversation : items) {
      for (py::handle participant : participants_of(conversation)) {
        py::object id = member(participant, "id");
        if (!truthy(id)) continue;
        py::str text = pyutil::text_form(id);
        if (!truthy(text) || contains(seen, text) || contains(args[2], text)) continue;
        seen.add(text);
        ids.append(text);
      }
    }
  }
  if (ids.empty()) co_return py::none();
  bridge::Rooted<py::list> results;
  if (via_facebook(self)) {
    Task<py::object> looking_up = batch_lookups_task(self, std::move(ids), args[1]);
    results = co_await std::move(looking_up);
  } else {
    Task<py::object> looking_up = concurrent_lookups_task(self, std::move(ids), args[1]);
    results = co_await std::move(looking_up);
  }

  py::dict profiles;
  for (py::handle result : results) {
    if (PyExceptionInstance_Check(result.ptr())) {
      state().log("warning", texts::kEnrichFailed, result);
      continue;
    }
    py::tuple pair = py::reinterpret_borrow<py::tuple>(result);
    profiles[pair[0]] = pair[1];
  }
  for (py::handle conversation : items) {
    for (py::handle participant : participants_of(conversation)) {
      if (!PyDict_Check(participant.ptr())) continue;
      py::object id = member(participant, "id");
      if (id.is_none()) continue;
      PyObject* found = PyDict_GetItemWithError(profiles.ptr(), pyutil::text_form(id).ptr());
      if (found == nullptr && PyErr_Occurred()) throw py::error_already_set();
      py::object profile = found ? own(found) : py::none();
      if (!truthy(profile) || !PyDict_Check(profile.ptr())) continue;
      for (auto [key, value] : py::reinterpret_borrow<py::dict>(profile)) {
        if (py::str(key).equal(py::str("id"))) continue;  // the participant keeps its own id
        participant[key] = value;
      }
    }
  }
  co_return py::none();
}

// ---- _shape, conversations ----

py::dict shape(py::handle conversation, py::handle business_ids) {
  py::list contacts;
  for (py::handle participant : participants_of(conversation)) {
    py::object id = member(participant, "id");
    if (!id.is_none() && contains(business_ids, pyutil::text_form(id))) continue;
    contacts.append(participant);
  }
  py::list messages = items_of(member(member(conversation, "messages"), "data"));
  py::dict shaped;
  for (const char* name : {"id", "updated_time", "message_count", "unread_count"}) {
    shaped[name] = member(conversation, name);
  }
  shaped["contact"] = contacts.empty() ? py::none() : py::object(contacts[0]);
  shaped["contacts"] = contacts;
  shaped["last_message"] = messages.empty() ? py::none() : py::object(messages[0]);
  return shaped;
}

Task<py::object> conversations_task(py::object self, Args args) {
  const bridge::Rooted<py::set> business = business_ids_of(args[1], args[2]);
  py::object asking;
  {
    py::dict query = graph::fields("IG_CONVERSATION");
    query["limit"] = args[3];
    if (via_facebook(self)) query["platform"] = "instagram";
    if (truthy(args[4])) query["after"] = args[4];
    py::str node = inbox_node(self, args[2], "conversations");
    asking = graph::get(self, edge(self, node, "conversations"), args[0], std::move(query));
  }
  const bridge::Rooted<> data = graph::require_json(self, co_await std::move(asking));
  const bridge::Rooted<py::list> items = items_of(member(data, "data"));
  if (truthy(args[5]) && !items.empty()) {
    py::object enriching = self.attr(pyutil::name<"_enrich">())(items, args[0], business);
    co_await std::move(enriching);
  }
  py::list shaped;
  for (py::handle conversation : items) shaped.append(shape(conversation, business));
  py::dict result;
  result["data"] = shaped;
  result["paging"] = member(data, "paging");
  co_return result;
}

// ---- messages, send_message ----

Task<py::object> messages_task(py::object self, Args args) {
  py::dict query = graph::fields("IG_MESSAGE");
  query["limit"] = args[2];
  if (truthy(args[3])) query["after"] = args[3];
  // The conversation's own edge, so that the paging cursor runs over messages.
  co_return co_await graph::get(self, edge(self, args[0], "messages"), args[1], std::move(query));
}

Task<py::object> send_message_task(py::object self, Args args) {
  // Without the Page the request would go to an absent node.
  py::str from = via_facebook(self) ? inbox_node(self, args[4], "send_message")
                                    : account_node(self, args[3]);
  py::dict recipient, message, body;
  recipient["id"] = args[0];
  message["text"] = args[2];
  body["recipient"] = recipient;  // recipient before message, as the platform documents it
  body["message"] = message;
  co_return co_await graph::post(self, edge(self, from, "messages"), args[1], py::dict(), body);
}

const binder::Param kCommentId{"comment_id", &graph::kNodeId};
const binder::Param kPageId{"page_id", &binder::kTextOrNone, "None", true};

const binder::Operation kMessagingOperations[] = {
    {"comments",
     {{"media_id", &graph::kNodeId}, kToken, {"limit", &binder::kCount, "50", true}},
     "The media object's comments (Fields.IG_COMMENT), at most limit in total across pages, "
     "as the platform sends them.",
     graph::edge_list<"comments", graph::field_query<"IG_COMMENT">>},
    {"reply_comment",
     {kCommentId, kToken, {"message", &binder::kText}},
     "Answers a comment as the account; returns the platform's answer.",
     graph::post_arg<"message", "replies">},
    {"hide_comment",
     {kCommentId, kToken, {"hidden", &binder::kFlag, "True"}},
     "Hides (or, with hidden=False, shows again) a comment; returns the platform's answer.",
     graph::post_arg<"hide", "", true>},
    {"delete_comment",
     {kCommentId, kToken},
     "Deletes a comment; returns the platform's answer.",
     graph::delete_at<"", false>},
    {"conversations",
     {kToken, {"ig_user_id", &binder::kTextOrNone, "None", true}, kPageId,
      {"limit", &binder::kCount, "25", true},
      {"after", &binder::kTextOrNone, "None", true}, {"enrich", &binder::kFlag, "True", true}},
     "One page of Direct conversations as {'data': [...], 'paging': ...}, each shaped as "
     "id, updated_time, message_count, unread_count, contact, contacts (participants other "
     "than ig_user_id and page_id) and last_message. With enrich, each distinct customer's "
     "profile (as contact() gives it) is merged into their participant objects: in the "
     "Facebook-login mode looked up in Graph batches (one HTTP call per 50 customers), else "
     "at most _PROFILE_CONCURRENCY look-ups at a time. The Facebook-login mode reads the "
     "Page's inbox and needs page_id (else ConfigurationError). after: the platform's "
     "cursor of the next page.",
     conversations_task},
    {"messages",
     {{"conversation_id", &graph::kNodeId}, kToken, {"limit", &binder::kCount, "50", true},
      {"after", &binder::kTextOrNone, "None", true}},
     "One page of a conversation's messages (Fields.IG_MESSAGE), limit at a time, as the "
     "platform answers; after: its cursor of the next page.",
     messages_task},
    {"contact",
     {{"igsid", &graph::kNodeId}, kToken},
     "A conversation partner's profile (Fields.IG_PARTICIPANT) with available=True. When "
     "the platform refuses to open it (no message from them yet, missing permission), "
     "{'id', 'available': False, 'reason'} instead of an error (logged at info level).",
     contact_task},
    {"send_message",
     {{"recipient_id", &binder::kText}, kToken, {"text", &binder::kText}, kIgUserId, kPageId},
     "Sends a text message to a customer: from the Page (page_id, required in the "
     "Facebook-login mode, else ConfigurationError) or from the account (ig_user_id, "
     "default 'me'). More than 24 hours after the customer's last message the platform "
     "refuses with PermissionError. Returns the platform's answer.",
     send_message_task},
};

// Hooks, not operations: their parameters refuse nothing, so they stay out of _OPERATIONS.
const binder::Param kBusinessIds{"business_ids", &binder::kAnything};

const binder::Operation kEnrich[] = {
    {"_enrich",
     {{"conversations", &binder::kAnything}, {"token", &binder::kAnything}, kBusinessIds},
     "Merges each distinct customer's contact() profile into their participant objects "
     "(in place; the participant keeps its id). In the Facebook-login mode the look-ups go "
     "in Graph batches (one HTTP call per 50 customers); in the Instagram-login mode at "
     "most _PROFILE_CONCURRENCY look-ups are in flight. A look-up failing with anything but "
     "a refusal is logged at warning level and leaves its participants as they were.",
     enrich_task},
};

const binder::Operation kShape[] = {
    {.name = "_shape",
     .params = {{"conversation", &binder::kAnything}, kBusinessIds},
     .doc = "A conversation as the inbox shows it: id, updated_time, message_count, "
            "unread_count, contact (the first of contacts or None), contacts (participants "
            "whose id is not in business_ids) and last_message (the first of messages.data or "
            "None).",
     .now = [](py::object, Args args) -> py::object { return shape(args[0], args[1]); },
     .as = binder::Operation::As::static_method},
};

}  // namespace

py::tuple add_messaging_methods(pyutil::ClassBuilder& cls) {
  binder::add_methods<kEnrich>(cls, "Instagram");
  binder::add_methods<kShape>(cls, "Instagram");
  return binder::add_methods<kMessagingOperations>(cls, "Instagram");
}

}  // namespace corvane::instagram
