#include "core/pacing.hpp"

#include <algorithm>

#include "core/sha256.hpp"

namespace corvane::core {
namespace {

// Points below the threshold a slow budget must fall to be normal again: figures are whole
// percentages and rise and fall by one around a threshold, which would log a change each time.
constexpr double kHysteresis = 5;
// A lane that is busy is looked at again after at most this long (seconds), whatever the spacing.
constexpr double kBusyPoll = 0.005;
// The percent one call is taken to add while the figures have not shown it yet: a budget of a
// thousand calls, smaller than the platform's budgets of any active app or object.
constexpr double kUnknownCost = 0.1;
// Fingerprints kept for budgets that are normal again, before the oldest ties are let go.
constexpr std::size_t kMaxTies = 4096;

}  // namespace

const std::string& TokenPrint::get() {
  if (!made_) {
    made_ = true;
    std::string token = source_();
    if (!token.empty()) {
      const Sha256Digest digest = sha256({token}, true);
      print_.assign(reinterpret_cast<const char*>(digest.data()), digest.size());
    }
    std::fill(token.begin(), token.end(), '\0');
  }
  return print_;
}

std::string TokenPrint::label() {
  const std::string& print = get();
  if (print.empty()) return "token";
  Sha256Digest digest{};
  std::copy(print.begin(), print.end(), digest.begin());
  std::string out = "token:";
  out.resize(out.size() + 8);
  put_hex(out.data() + 6, digest, 4);
  return out;
}

Pacer::Pacer(double threshold, double window) : threshold_(threshold), window_(window) {}

double Pacer::spacing(const Entry& entry) const {
  const double cost = entry.cost > 0 ? entry.cost : kUnknownCost;
  // The room left once this call is counted; with none, a whole window frees what it held.
  const double room = std::max(100.0 - entry.percent - cost, cost);
  return window_ * cost / room;
}

void Pacer::set_state(const PaceKey& key, Entry& entry, PaceState state, double now) {
  if (entry.state == state) return;
  if (entry.state == PaceState::normal) ++hot_;
  if (state == PaceState::normal) --hot_;
  entry.state = state;
  double seconds = 0;
  if (state == PaceState::blocked) seconds = entry.blocked_until - now;
  if (state == PaceState::slow) {
    seconds = spacing(entry);
    entry.next_free = std::max(entry.next_free, now);
  }
  changes_.push_back({key, state, entry.percent, seconds});
}

// A block that has ended leaves the budget slow or normal by its last figure.
void Pacer::refresh(const PaceKey& key, Entry& entry, double now) {
  if (entry.state != PaceState::blocked || entry.blocked_until > now) return;
  entry.next_free = std::max(entry.next_free, entry.blocked_until);
  set_state(key, entry, entry.percent >= threshold_ ? PaceState::slow : PaceState::normal, now);
}

void Pacer::tie(TokenPrint& token, const PaceKey& key) {
  const std::string& print = token.get();
  if (print.empty()) return;
  if (ties_.size() >= kMaxTies && ties_.find(print) == ties_.end()) {
    for (auto it = ties_.begin(); it != ties_.end();) {
      const bool cold = std::all_of(it->second.begin(), it->second.end(), [&](const PaceKey& k) {
        const auto e = entries_.find(k);
        return e == entries_.end() || e->second.state == PaceState::normal;
      });
      it = cold ? ties_.erase(it) : std::next(it);
    }
  }
  ties_[print].insert(key);
}

void Pacer::record(TokenPrint& token, const PaceKey& key, double percent,
                   std::optional<double> regain, double now, std::size_t in_flight) {
  Entry& entry = entries_[key];
  ++entry.answers;
  // The cost of a call, from how far the figure rose over how many answers. Answers arrive out
  // of order under concurrency, so only a new high counts; a fall (the window rolled on) starts
  // a new rise.
  if (entry.rise_percent < 0 || percent < entry.rise_percent - 2) {
    entry.rise_percent = percent;
    entry.rise_answers = entry.answers;
  } else if (percent > entry.rise_percent) {
    const double calls = static_cast<double>(std::max<std::size_t>(
        1, entry.answers - entry.rise_answers));
    const double sample = (percent - entry.rise_percent) / calls;
    entry.cost = entry.cost > 0 ? 0.7 * entry.cost + 0.3 * sample : sample;
    entry.rise_percent = percent;
    entry.rise_answers = entry.answers;
  }
  entry.percent = percent;

  if (regain && *regain > 0) {
    entry.blocked_until = std::max(entry.blocked_until, now + *regain);
  } else if (percent >= 100) {
    // Throttled without a wait named (the app's figures give none): one call's share of the
    // window, the time the rolling window takes to free it.
    const double cost = entry.cost > 0 ? entry.cost : kUnknownCost;
    entry.blocked_until = std::max(entry.blocked_until, now + window_ * cost / 100);
  }
  PaceState state;
  const double projected = percent + entry.cost * static_cast<double>(in_flight);
  if (entry.blocked_until > now) {
    state = PaceState::blocked;
  } else if (projected >= threshold_ ||
             (entry.state != PaceState::normal && projected >= threshold_ - kHysteresis)) {
    state = PaceState::slow;
  } else {
    state = PaceState::normal;
  }
  set_state(key, entry, state, now);
  if (state != PaceState::normal) tie(token, key);
}

void Pacer::throttled(TokenPrint& token, const PaceKey& key, double seconds, double now) {
  if (const auto tied = ties_.find(token.get()); tied != ties_.end()) {
    for (const PaceKey& k : tied->second) {
      const Entry& e = entries_[k];
      if (e.state == PaceState::blocked && e.blocked_until > now) return;
    }
  }
  Entry& entry = entries_[key];
  entry.blocked_until = std::max(entry.blocked_until, now + std::max(seconds, 0.0));
  if (entry.blocked_until <= now) return;
  set_state(key, entry, PaceState::blocked, now);
  tie(token, key);
}

PaceDecision Pacer::admit(TokenPrint& token, double now, double max_wait,
                          std::vector<PaceKey>* held) {
  PaceDecision decision;
  if (hot_ == 0) return decision;
  const auto tied = ties_.find(token.get());
  if (tied == ties_.end()) return decision;
  double blocked_wait = 0, slow_wait = 0;
  const PaceKey* blocked_key = nullptr;
  const PaceKey* slow_key = nullptr;
  for (const PaceKey& key : tied->second) {
    Entry& entry = entries_[key];
    refresh(key, entry, now);
    if (entry.state == PaceState::blocked) {
      if (!blocked_key || entry.blocked_until - now > blocked_wait) {
        blocked_wait = entry.blocked_until - now;
        blocked_key = &key;
      }
    } else if (entry.state == PaceState::slow) {
      const double wait = entry.busy ? std::min(spacing(entry), kBusyPoll)
                                     : std::max(0.0, entry.next_free - now);
      if (wait > 0 && (!slow_key || wait > slow_wait)) {
        slow_wait = wait;
        slow_key = &key;
      }
    }
  }
  if (blocked_key || slow_key) {
    decision.blocked = blocked_key != nullptr;
    decision.seconds = blocked_key ? blocked_wait : slow_wait;
    decision.key = blocked_key ? *blocked_key : *slow_key;
    // A busy lane is polled; its own wait is the spacing after the answer to come.
    const double expected = blocked_key ? blocked_wait
                            : entries_[*slow_key].busy ? spacing(entries_[*slow_key])
                                                       : slow_wait;
    decision.kind = expected > max_wait ? PaceDecision::refuse : PaceDecision::wait;
    if (decision.kind == PaceDecision::refuse) decision.seconds = expected;
    return decision;
  }
  if (!held) return decision;  // only asked: no slot taken
  for (const PaceKey& key : tied->second) {
    Entry& entry = entries_[key];
    if (entry.state != PaceState::slow) continue;
    entry.busy = true;
    held->push_back(key);
  }
  return decision;
}

void Pacer::release(const std::vector<PaceKey>& held, double now) {
  for (const PaceKey& key : held) {
    const auto found = entries_.find(key);
    if (found == entries_.end()) continue;
    Entry& entry = found->second;
    entry.busy = false;
    entry.next_free = std::max(entry.next_free, now + spacing(entry));
  }
}

std::vector<PaceChange> Pacer::take_changes() {
  std::vector<PaceChange> out;
  out.swap(changes_);
  return out;
}

}  // namespace corvane::core
