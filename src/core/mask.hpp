// Masking of secrets in URLs before they reach an error's url or a log line.
#pragma once

#include <string>
#include <string_view>

namespace corvane::core {

// True for the query parameter names whose values are secrets: access_token, appsecret_proof,
// client_secret, fb_exchange_token, input_token, code, refresh_token, token.
bool is_secret_param(std::string_view name);

// Returns `url` with the value of every secret query parameter replaced by "***".
// Everything else (scheme, host, path, other parameters, their order, the fragment) is kept
// byte for byte. Parameter names are compared after percent-decoding, so an escaped name
// cannot smuggle a secret past the mask.
std::string mask_secrets(std::string_view url);

}  // namespace corvane::core
