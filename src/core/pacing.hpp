// Pacing from the platforms' usage figures: what the last answers said about each budget (an
// app, a business object's use case type, an ad account, one token's own quota), and whether a
// request that counts against those budgets may go now.
//
// Theory of operation. Each budget is an Entry, fed with the percentages the answers report
// (the largest of call_count, total_time and total_cputime) and the waits they give:
//  1. normal: below the threshold, the request goes at once; nothing else is done;
//  2. slow: at or above the threshold, or about to pass it with the requests still in flight,
//     the budget's requests go one at a time, each `spacing` after the previous one's answer.
//     The spacing spreads the room left below 100 (after the call itself) over one window:
//     window * cost / (100 - percent - cost), with `cost` the percent one call adds, learned
//     from how the figures rise. Within any window no more than that room is spent, so the
//     figure never reaches 100, and as the window rolls on and frees what it held the spacing
//     shrinks with the figure;
//  3. blocked: a figure at 100, a wait to regain access, or a throttle error: nothing goes
//     until the block ends (a call made while blocked lengthens the block on the platform).
// A request is tied to the budgets its answers named, through a fingerprint of its token (never
// the token): budgets are tied only while they are slow or blocked, so that a request meets
// no look-up at all while every budget is normal.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace corvane::core {

enum class PaceState { normal, slow, blocked };

// A budget: `id` names the object ("app", a Page id, "act_<id>", "token"), `type` the use case
// ("app", "pages", "leadgen", "ad_account", "daily", ...).
struct PaceKey {
  std::string id;
  std::string type;
  bool operator<(const PaceKey& other) const {
    return id != other.id ? id < other.id : type < other.type;
  }
};

// A change of state, for the host's log.
struct PaceChange {
  PaceKey key;
  PaceState state;
  double percent;  // the figure that decided it
  double seconds;  // blocked: until the block ends; slow: the spacing
};

// What a request may do now.
struct PaceDecision {
  enum Kind { go, wait, refuse } kind = go;
  double seconds = 0;  // wait/refuse: how long until it may go
  PaceKey key;         // wait/refuse: the budget that holds it
  bool blocked = false;
};

// A token's fingerprint, made (SHA-256) only when first asked for: while every budget is
// normal no request needs one, nor even its token read. `source` gives the token ("" for
// none) and must outlive the print.
class TokenPrint {
 public:
  explicit TokenPrint(std::function<std::string()> source) : source_(std::move(source)) {}
  explicit TokenPrint(std::string_view token)
      : source_([token] { return std::string(token); }) {}
  const std::string& get();
  // A short public name for the token's own budget ("token:1a2b3c4d"), never the token.
  std::string label();

 private:
  std::function<std::string()> source_;
  bool made_ = false;
  std::string print_;
};

class Pacer {
 public:
  // `threshold`: the percentage where slow pacing starts; `window`: the budgets' rolling
  // window in seconds (an hour on the Graph API).
  Pacer(double threshold, double window);

  double threshold() const { return threshold_; }
  double window() const { return window_; }

  // True while some budget is slow or blocked: only then is a request's token looked at.
  bool quiet() const { return hot_ == 0; }

  // A reading of one budget at `now` (seconds on a steady clock), from an answer to a request
  // of `token`. `regain`: the wait the answer gave, in seconds. `in_flight`: the requests sent
  // and not yet answered, which the figures do not count yet.
  void record(TokenPrint& token, const PaceKey& key, double percent,
              std::optional<double> regain, double now, std::size_t in_flight);
  // A throttle error answered a request of `token`, and the request waits `seconds` before it
  // is tried again (or is given up). Unless the answer's figures already blocked one of the
  // token's budgets, `key` (the app for an app-level throttle, else the token's own budget) is
  // blocked that long, and the token's other requests wait with it.
  void throttled(TokenPrint& token, const PaceKey& key, double seconds, double now);

  // Whether a request of `token` may go at `now`, waiting at most `max_wait` seconds. On `go`
  // the request holds the slot of every slow budget it counts against (`held`) until it is
  // answered (`release`); with `held` null the pacer is only asked, and nothing is taken.
  PaceDecision admit(TokenPrint& token, double now, double max_wait,
                     std::vector<PaceKey>* held);
  void release(const std::vector<PaceKey>& held, double now);

  // Changes of state since the last call, oldest first.
  std::vector<PaceChange> take_changes();

  struct Entry {
    PaceState state = PaceState::normal;
    double percent = 0;
    double blocked_until = 0;
    double next_free = 0;  // slow: when the next request may go
    bool busy = false;     // slow: a request is out
    // Learning the cost of a call: the highest reading of the current rise, and the answers
    // recorded when it was reached.
    double cost = 0;  // percent per call; 0 while unknown
    double rise_percent = -1;
    std::size_t rise_answers = 0;
    std::size_t answers = 0;
  };
  // Every budget's entry, for the usage snapshot.
  const std::map<PaceKey, Entry>& entries() const { return entries_; }
  double spacing(const Entry& entry) const;

 private:
  void set_state(const PaceKey& key, Entry& entry, PaceState state, double now);
  void refresh(const PaceKey& key, Entry& entry, double now);
  void tie(TokenPrint& token, const PaceKey& key);

  double threshold_;
  double window_;
  std::size_t hot_ = 0;
  std::map<PaceKey, Entry> entries_;
  std::unordered_map<std::string, std::set<PaceKey>> ties_;
  std::vector<PaceChange> changes_;
};

}  // namespace corvane::core
