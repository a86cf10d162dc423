// The pacer driven by any sequence of readings, throttles, admissions and answers over a few
// tokens and budgets: it never crashes, "quiet" is true exactly when no budget is slow or
// blocked, a wait is finite and not negative, a refusal only comes for a wait beyond the limit,
// and a request that goes holds only slow budgets.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/pacing.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvane::core;
  if (size < 2) return 0;
  Pacer pacer(1 + data[0] % 100, 1 + data[1] % 60);
  const std::string names[] = {"a", "b", "c"};
  const PaceKey keys[] = {{"1001", "pages"}, {"1001", "leadgen"}, {"app", "app"}};
  std::vector<std::vector<PaceKey>> held(3);
  double now = 0;
  for (std::size_t at = 2; at + 3 <= size; at += 3) {
    const std::uint8_t op = data[at], x = data[at + 1], y = data[at + 2];
    TokenPrint token(names[x % 3]);
    const PaceKey& key = keys[(x / 3) % 3];
    now += (op >> 3) * 0.25;
    switch (op % 5) {
      case 0:
        pacer.record(token, key, y % 110, (y & 0x80) ? std::optional<double>(y % 7) : std::nullopt,
                     now, x % 40);
        break;
      case 1:
        pacer.throttled(token, key, y % 50, now);
        break;
      case 2: {
        std::vector<PaceKey> out;
        const double limit = y % 30;
        const PaceDecision d = pacer.admit(token, now, limit, &out);
        FUZZ_CHECK(std::isfinite(d.seconds) && d.seconds >= 0);
        FUZZ_CHECK(d.kind != PaceDecision::refuse || d.seconds > limit);
        FUZZ_CHECK(d.kind == PaceDecision::go || out.empty());
        for (const PaceKey& k : out) {
          FUZZ_CHECK(pacer.entries().at(k).state == PaceState::slow);
        }
        if (d.kind == PaceDecision::go && held[x % 3].empty()) held[x % 3] = out;
        else if (d.kind == PaceDecision::go) pacer.release(out, now);
        break;
      }
      case 3:
        pacer.release(held[x % 3], now);
        held[x % 3].clear();
        break;
      default:
        pacer.take_changes();
    }
    bool hot = false;
    for (const auto& [k, entry] : pacer.entries()) hot |= entry.state != PaceState::normal;
    FUZZ_CHECK(pacer.quiet() == !hot);
  }
  return 0;
}
