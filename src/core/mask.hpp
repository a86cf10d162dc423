// Masking of secrets in URLs before they reach an error's url or a log line.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::core {

// The query parameter names whose values are secrets; the one list (corvane.crypto exports it
// as SECRET_NAMES for the Python code that cleans texts).
inline constexpr std::array<std::string_view, 8> kSecretNames = {
    "access_token", "appsecret_proof", "client_secret", "fb_exchange_token",
    "input_token",  "code",            "refresh_token", "token",
};

// True for the names of kSecretNames.
bool is_secret_param(std::string_view name);

// Returns `url` with the value of every secret query parameter replaced by "***".
// Everything else (scheme, host, path, other parameters, their order, the fragment) is kept
// byte for byte. Parameter names are compared after percent-decoding, so an escaped name
// cannot smuggle a secret past the mask.
std::string mask_secrets(std::string_view url);

// The values of the secret query parameters of `url`, each as written and, when it differs,
// percent-decoded: what a text quoting the URL in another form would show.
std::vector<std::string> secret_values(std::string_view url);

// Masks secrets in a free text that may quote URLs (an HTTP library's error message, a
// response body): the value of every secret "name=value" that follows "?", "&" or ";" is
// replaced by "***" up to the next delimiter (one of &#;'"<>()[]{}, a back-slash or white
// space), then every occurrence of a `known` value (of 4 bytes or more: shorter ones would
// mangle ordinary words) is replaced by "***" too.
std::string mask_secrets_in_text(std::string_view text,
                                 const std::vector<std::string>& known = {});

}  // namespace corvane::core
