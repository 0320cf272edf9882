// Lists of pairs, ROW_ITEM COLUMN_ITEM [COUNT] a line: how successor and co-occurrence counts
// are usually made. Items are numbered by their first appearance; a missing count is 1, and
// repeated pairs add up.
#include <unordered_map>
#include <vector>

#include "formats/formats.h"
#include "model/shape.h"

namespace tornavel {

void read_pairs(text_lines& in, count_matrix_builder& builder) {
  std::unordered_map<std::string, std::int32_t> index;
  std::vector<std::string> labels;
  const auto item = [&](std::string_view word) {
    const auto [it, added] = index.emplace(std::string(word), static_cast<std::int32_t>(labels.size()));
    if (added) {
      if (static_cast<std::int64_t>(labels.size()) == most_items) in.fail(too_many_items(most_items + 1));
      labels.emplace_back(word);
    }
    return it->second;
  };
  builder.start_entries(std::nullopt, {});
  std::string_view line;
  std::vector<std::string_view> words;
  while (in.next(line)) {
    split_words(line, words);
    if (words.empty() || words[0][0] == '#') continue;
    if (words.size() != 2 && words.size() != 3) {
      in.fail(std::to_string(words.size()) + " fields where a pair has ROW COLUMN [COUNT]");
    }
    const std::int32_t count = words.size() == 3 ? builder.count_of(words[2], source_place::at_line(in.number(), 3)) : 1;
    const std::int32_t r = item(words[0]);
    const std::int32_t k = item(words[1]);
    builder.add(r, k, count);
  }
  builder.finish(source_place::at_line(in.number()), std::move(labels));
}

}  // namespace tornavel
