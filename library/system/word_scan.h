// A scan of 32-bit words that the compiler turns into vector instructions.
#ifndef TORNAVEL_SYSTEM_WORD_SCAN_H_
#define TORNAVEL_SYSTEM_WORD_SCAN_H_

#include <cstddef>
#include <cstdint>
#include <span>

namespace tornavel {

// The OR of all the words: negative exactly when one is, and for words that are not, at least
// the largest and less than twice it. Eight lanes, so that it becomes vector instructions at
// any optimisation level and for any instruction set (a maximum of 32-bit words needs SSE4.1).
inline std::int32_t or_of_words(std::span<const std::int32_t> words) {
  std::int32_t lanes[8] = {};
  std::size_t at = 0;
  for (; at + 8 <= words.size(); at += 8) {
    for (std::size_t lane = 0; lane < 8; ++lane) lanes[lane] |= words[at + lane];
  }
  std::int32_t all = 0;
  for (; at < words.size(); ++at) all |= words[at];
  for (const std::int32_t lane : lanes) all |= lane;
  return all;
}

// Calls visit(first, end) for each range of words that may hold one that is not zero: every run
// of eight of which one is not (one OR of the eight tells), then the fewer than eight after the
// last run. Every word outside the ranges is zero. Inlined, so that the caller's loop compiles as
// if written out, with the caller's instruction set.
template <typename Visit>
[[gnu::always_inline]] inline void for_each_busy_run(const std::int32_t* words, std::size_t size, Visit&& visit) {
  constexpr std::size_t run = 8;
  std::size_t at = 0;
  for (; at + run <= size; at += run) {
    std::int32_t any = 0;
    for (std::size_t i = 0; i < run; ++i) any |= words[at + i];
    if (any != 0) visit(at, at + run);
  }
  if (at < size) visit(at, size);
}

}  // namespace tornavel

#endif  // TORNAVEL_SYSTEM_WORD_SCAN_H_
