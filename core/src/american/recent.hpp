// The last few results of a costly computation on this thread, found again
// by the bits of everything it reads: the American pricer's quadrature
// rules, interpolation tables and solved boundaries. A result found here is
// the very one the computation would give again, so a hit changes no bit;
// the slots are taken in turn, so a result holds until the thread's next
// kSlots misses. Private to the American pricer.
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

// kSlots results of type Solved; each user has its own Tag.
template <class Tag, class Solved, std::size_t kWords, int kSlots>
class Recent {
 public:
  using Key = std::array<std::uint64_t, kWords>;

  // The result stored under key, else solve(Solved&)'s on a fresh Solved,
  // stored. The reference holds until the thread's next kSlots misses.
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
