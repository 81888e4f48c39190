// Whether a kind of cell that is rendered in C++ comes out of pandas as rendered: learnt from
// the first frame in the process that shows one (its sampled cell against the rendered text)
// and kept, so that later frames sample nothing for that kind. A mismatch keeps the kind on
// the sampled (or boxed) path for the rest of the process.
#pragma once

#include <atomic>
#include <cstdint>

namespace vandra {

class RenderTrust {
  public:
    bool confirmed() const { return state_.load(std::memory_order_relaxed) == State::confirmed; }
    bool refuted() const { return state_.load(std::memory_order_relaxed) == State::refuted; }
    // What one frame showed; only the first lesson counts.
    void learn(bool ok) {
        State unseen = State::unseen;
        state_.compare_exchange_strong(unseen, ok ? State::confirmed : State::refuted,
                                       std::memory_order_relaxed);
    }

  private:
    enum class State : std::uint8_t { unseen, confirmed, refuted };
    std::atomic<State> state_{State::unseen};
};

}  // namespace vandra
