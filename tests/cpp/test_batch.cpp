// Graph batch: result references, the split into calls no reference crosses, relative URLs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/batch.hpp"

namespace corvane::core {
namespace {

TEST(ResultReferences, WholeReferencesOnlyInOrder) {
  EXPECT_EQ(result_references("{result=lead:$.ad_id}?fields=a&x={result=b:$.data.*.id}"),
            (std::vector<std::string>{"lead", "b"}));
  EXPECT_TRUE(result_references("{result=:$.x} {result=a} {result=a:$.x").empty());
}

// n operations; pairs (named, referring) given as (holder, referrer) indices.
std::vector<BatchOp> ops(std::size_t n, std::vector<std::pair<std::size_t, std::size_t>> refs) {
  std::vector<BatchOp> out(n);
  for (auto [holder, referrer] : refs) {
    out[holder].name = "n" + std::to_string(holder);
    out[referrer].refers_to.push_back(out[holder].name);
  }
  return out;
}

TEST(SplitBatch, CallsOfAtMostTheLimitCutWhereNoReferenceCrosses) {
  struct Case {
    std::size_t n;
    std::vector<std::pair<std::size_t, std::size_t>> refs;
    std::vector<std::size_t> sizes;
  };
  for (const Case& c : {
           Case{0, {}, {}},
           Case{1, {}, {1}},
           Case{50, {}, {50}},
           Case{51, {}, {50, 1}},
           Case{120, {}, {50, 50, 20}},
           Case{51, {{48, 49}, {49, 50}}, {48, 3}},    // a chain at the edge moves whole
           Case{100, {{0, 49}, {50, 99}}, {50, 50}},  // groups ending at the cut
       }) {
    const BatchSplit split = split_batch(ops(c.n, c.refs));
    EXPECT_FALSE(split.refused) << c.n;
    EXPECT_EQ(split.sizes, c.sizes) << c.n;
  }
}

TEST(SplitBatch, RefusesWhatNoCutKeepsTogether) {
  BatchSplit split = split_batch(ops(60, {{0, 55}}));  // a group of 56
  EXPECT_TRUE(split.refused);
  EXPECT_EQ(split.index, 55u);
  EXPECT_EQ(split.name, "n0");
  EXPECT_FALSE(split.unknown);

  std::vector<BatchOp> later = ops(3, {});
  later[0].refers_to.push_back("x");  // named only after it
  later[2].name = "x";
  split = split_batch(later);
  EXPECT_TRUE(split.refused && split.unknown);
  EXPECT_EQ(split.index, 0u);
  EXPECT_EQ(split.name, "x");
}

TEST(RelativeUrl, ReferencesKeptEverythingElseEncoded) {
  std::string query = "fields=";
  encode_keeping_references(query, "a,b {result=lead:$.ad_id}&{result=x");
  EXPECT_EQ(query, "fields=a%2Cb%20{result=lead:$.ad_id}%26%7Bresult%3Dx");
  EXPECT_EQ(relative_url("/{result=lead:$.ad_id}", "fields=a"), "{result=lead:$.ad_id}?fields=a");
  EXPECT_EQ(relative_url("me?x=1", "y=2"), "me?x=1&y=2");
  EXPECT_EQ(relative_url("me", ""), "me");
}

}  // namespace
}  // namespace corvane::core
