// create_post's one POST, sent outside the request pipeline: the new post's URN comes back only
// in the "x-restli-id" header, which the pipeline does not return.
//
// What the pipeline would give this request, it gets here by hand:
//  1. it is sent exactly once: no retry, no back-off; a failure of the HTTP layer reaches the
//     host as that layer reports it;
//  2. redirects are followed here, not by the HTTP layer, so that the bearer token never
//     leaves LinkedIn: a hop to another origin (scheme, host or port) goes without
//     "Authorization", and the header stays dropped for every later hop;
//  3. an error status becomes the error kind of _parse_error, its url masked; a redirect that
//     is not followed (too many, no usable Location) is an error too, since the post's fate
//     is unknown;
//  4. every response is released when its hop ends, however it ends;
//  5. an error of the HTTP layer that carries the request's headers (aiohttp's response errors
//     keep them in request_info) reaches the host with the token masked there.
#include "modules/linkedin/internal.hpp"
#include "py/release_on_exit.hpp"

namespace corvane::linkedin {
namespace {

// What the HTTP layer itself would follow at most.
constexpr int kMaxRedirects = 10;

bool same_name(py::handle name, const char* wanted) {
  if (!PyUnicode_Check(name.ptr())) return false;
  return py::str(name).attr("lower")().equal(py::str(wanted));
}

// A response header looked up without regard to letter case; None when missing.
py::object header(py::handle response, const char* lower_name) {
  py::object headers = response.attr("headers");
  py::object value = headers.attr("get")(lower_name);
  if (!value.is_none() || !PyDict_Check(headers.ptr())) return value;
  for (auto [name, v] : py::reinterpret_borrow<py::dict>(headers)) {
    if (same_name(name, lower_name)) return py::reinterpret_borrow<py::object>(v);
  }
  return py::none();
}

void drop_authorization(py::dict& headers) {
  py::list names;
  for (auto [name, value] : headers) {
    if (same_name(name, "authorization")) names.append(name);
  }
  for (py::handle name : names) {
    if (PyDict_DelItem(headers.ptr(), name.ptr()) < 0) throw py::error_already_set();
  }
}

bool is_redirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Where a redirect points, resolved against the URL that answered; unset when it has no
// Location or points outside HTTP.
py::object redirect_target(py::handle response) {
  py::object location = header(response, "location");
  if (!PyUnicode_Check(location.ptr())) return py::object();
  py::object target = response.attr("url").attr("join")(wire_url(location));
  py::object scheme = target.attr("scheme");
  if (!scheme.equal(py::str("http")) && !scheme.equal(py::str("https"))) return py::object();
  return target;
}

// request_info of an aiohttp response error with "Authorization" masked (repr() shows it).
void mask_request_info(py::handle error) {
  py::object info = py::getattr(error, "request_info", py::none());
  if (info.is_none()) return;
  py::module_ multidict = py::module_::import("multidict");
  py::object headers = multidict.attr("CIMultiDict")(info.attr("headers"));
  if (!pyutil::truthy(headers.attr("__contains__")("Authorization"))) return;
  headers.attr("__setitem__")("Authorization", "***");
  error.attr("request_info") = py::module_::import("aiohttp").attr("RequestInfo")(
      info.attr("url"), info.attr("method"), multidict.attr("CIMultiDictProxy")(headers),
      info.attr("real_url"));
}

}  // namespace

Task<py::object> publish(py::object self, py::str token, py::object post) {
  const bridge::Rooted<> session = co_await self.attr(pyutil::name<"_ensure_session">())();
  bridge::Rooted<py::dict> sent_headers = pyutil::copy_dict(headers(self, token));
  bridge::Rooted<> url = wire_url(rest(py::str("posts")));
  bridge::Rooted<py::str> method = py::str("POST");
  bridge::Rooted<> body = post;
  for (int hop = 0;; ++hop) {
    py::object sending;
    {
      py::dict options;
      if (!body.is_none()) options["json"] = body;
      options["headers"] = sent_headers;
      options["allow_redirects"] = py::bool_(false);
      sending = session.attr("request")(method, url, **options);
    }
    py::object response;
    try {
      response = co_await std::move(sending);
    } catch (py::error_already_set& e) {
      if (e.matches(py::module_::import("aiohttp").attr("ClientResponseError"))) {
        mask_request_info(e.value());
      }
      throw;
    }
    pyutil::ReleaseOnExit release{std::move(response)};
    const long status = release.response.attr("status").cast<long>();

    py::object target;
    if (is_redirect(status) && hop < kMaxRedirects) target = redirect_target(release.response);
    if (target) {
      if (!target.attr("origin")().equal(url.attr("origin")())) drop_authorization(sent_headers);
      // The HTTP rules for the method of the next hop: 303 always, 301/302 after a POST,
      // turn into a GET without body; 307/308 repeat the request as it was.
      if (status == 303 || ((status == 301 || status == 302) && method.equal(py::str("POST")))) {
        method = py::str("GET");
        body = py::none();
      }
      url = target;
      continue;
    }

    py::object answer = co_await self.attr(pyutil::name<"_read">())(release.response);
    if (status >= 400 || is_redirect(status)) {
      pyutil::raise(error_with_url(self, py::int_(status), answer, release.response.attr("url")));
    }
    py::dict out;
    out["id"] = header(release.response, "x-restli-id");
    out["body"] = answer;
    co_return out;
  }
}

}  // namespace corvane::linkedin
