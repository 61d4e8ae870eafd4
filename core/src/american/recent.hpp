// The last few exercise boundaries solved on this thread, by everything
// their solve reads. A boundary in strike units depends on the maturity, the
// rates, the volatility and the solver's counts, not on the spot or the
// strike, so options that differ only in those (a spot ladder, a chain
// priced under one volatility, the stencil prices of a ladder of Greeks)
// solve theirs once; a boundary found here is the very one a fresh solve
// would give, its inputs matched bit for bit. Private to the American
// pricer.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarvik::american {

// A key word: a double's bits (so that -0.0 and 0.0 differ), or a count.
inline std::uint64_t key_word(double x) { return std::bit_cast<std::uint64_t>(x); }
inline std::uint64_t key_word(int n) { return static_cast<std::uint64_t>(n); }
inline std::uint64_t key_word(bool b) { return b ? 1 : 0; }

// kSlots solutions of type Solved, taken in turn; each user has its own Tag.
template <class Tag, class Solved, std::size_t kWords, int kSlots>
class Recent {
 public:
  using Key = std::array<std::uint64_t, kWords>;

  // The solution stored under key, else solve(Solved&)'s, stored. The
  // reference holds until the thread's next miss.
  template <class Solve>
  static const Solved& find(const Key& key, Solve&& solve) {
    thread_local std::vector<Slot> slots(kSlots);
    thread_local int next = 0;
    for (const Slot& slot : slots) {
      if (slot.filled && slot.key == key) return slot.solved;
    }
    Slot& slot = slots[static_cast<std::size_t>(next)];
    next = (next + 1) % kSlots;
    slot.filled = false;  // until solved (a solve that throws leaves it empty)
    slot.solved = Solved{};  // as fresh as a local one
    solve(slot.solved);
    slot.key = key;
    slot.filled = true;
    return slot.solved;
  }

 private:
  struct Slot {
    Key key{};
    bool filled = false;
    Solved solved{};
  };
};

}  // namespace tarvik::american
