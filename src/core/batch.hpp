// Graph batch requests, the parts that need no Python: the result references an operation makes
// ({result=NAME:$.path}), the split of a long list of operations into calls of at most 50 that
// no reference crosses, and the relative_url of an operation.
//
// Theory of operation. The Graph API runs up to 50 operations in one POST. An operation may
// wait for an earlier one of the same call (depends_on) and read its answer through a JSONPath
// reference written into its URL or body. Neither reaches across calls: the platform knows only
// the call it is running. So a list is cut only where no later operation refers to an earlier
// one; each call is as long as that allows, up to 50. A reference that no cut can keep inside
// one call (a name never given before it, or a group longer than 50) is refused before anything
// is sent.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::core {

// The platform's limit of operations in one batch call.
inline constexpr std::size_t kBatchLimit = 50;

// The names referred to in `text` by "{result=NAME:$...}", in order (repeats kept).
std::vector<std::string> result_references(std::string_view text);

// One operation as the split sees it: its own name (may be empty) and every name it refers to
// (depends_on and result references).
struct BatchOp {
  std::string name;
  std::vector<std::string> refers_to;
};

// The split of a list of operations: `sizes` of the calls in order (empty for no operation), or,
// when refused, the index of the first operation whose reference cannot be kept inside one call
// and the name it refers to (`unknown` when no earlier operation carries that name).
struct BatchSplit {
  std::vector<std::size_t> sizes;
  bool refused = false;
  std::size_t index = 0;
  std::string name;
  bool unknown = false;
};

BatchSplit split_batch(const std::vector<BatchOp>& ops, std::size_t limit = kBatchLimit);

// Percent-encodes `text` for a query or form value, except the result references it holds,
// which go out as written (the platform reads them before it decodes the value).
void encode_keeping_references(std::string& out, std::string_view text);

// `path` (relative, without host or version) with `query` (already encoded) appended after "?"
// or "&"; a leading "/" of the path is dropped.
std::string relative_url(std::string_view path, std::string_view query);

}  // namespace corvane::core
