// Makes tests/data/huge_sums.frq and tests/data/huge_sums.scores: a 5 x 5 count matrix whose
// column sums lie beyond 2^33, and its scores by the plainest possible means, one walk of the
// running sum of log(j) from 1 to the largest column sum (about 1.1e10 steps: minutes), sharing
// no code with the tool. Run by hand from the top of the tree when the matrix changes:
//   g++ -O2 -std=c++20 -ffp-contract=off tests/data/make_huge_sums.cpp -o /tmp/make_huge_sums
//   /tmp/make_huge_sums tests/data
// The scores file holds one line per column: the score's binary32 bits in hex, then its value.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::int32_t top = 2147483647;
  const std::int32_t side = 5;
  const std::vector<std::int32_t> counts = {
      top,     top,     3,       top - 6, 0,        //
      top,     top - 1, 3,       1,       1000000,  //
      top,     top - 2, top,     top - 6, 1000000,  //
      top,     5,       top,     2,       3,        //
      top,     7,       2,       top - 6, top};
  std::vector<std::int64_t> sums(side, 0);
  std::vector<std::int64_t> wanted;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    sums[i % side] += counts[i];
    wanted.push_back(counts[i]);
  }
  wanted.insert(wanted.end(), sums.begin(), sums.end());
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());

  std::vector<float> entry_of(wanted.size());
  double s = 0.0;
  std::size_t next = 0;
  while (next < wanted.size() && wanted[next] == 0) entry_of[next++] = 0.0f;
  for (std::int64_t j = 1; next < wanted.size(); ++j) {
    s = s + std::log(static_cast<double>(j));
    if (j == wanted[next]) entry_of[next++] = static_cast<float>(s);
  }
  const auto entry = [&](std::int64_t j) {
    return entry_of[std::lower_bound(wanted.begin(), wanted.end(), j) - wanted.begin()];
  };

  const std::string folder = argv[1];
  std::FILE* frq = std::fopen((folder + "/huge_sums.frq").c_str(), "wb");
  std::FILE* scores = std::fopen((folder + "/huge_sums.scores").c_str(), "w");
  if (frq == nullptr || scores == nullptr) return 1;
  std::vector<std::int32_t> words{side, side};
  words.insert(words.end(), counts.begin(), counts.end());
  for (std::int32_t w : words) {
    for (int shift = 0; shift < 32; shift += 8) std::fputc((static_cast<std::uint32_t>(w) >> shift) & 0xff, frq);
  }
  for (std::int32_t k = 0; k < side; ++k) {
    double b = 0.0;
    for (std::int32_t r = 0; r < side; ++r) b = b + static_cast<double>(entry(counts[r * side + k]));
    const float score = static_cast<float>(static_cast<double>(entry(sums[k])) - b);
    std::uint32_t bits;
    std::memcpy(&bits, &score, sizeof bits);
    std::fprintf(scores, "%08x %.9g\n", bits, static_cast<double>(score));
  }
  return (std::fclose(frq) == 0 && std::fclose(scores) == 0) ? 0 : 1;
}
