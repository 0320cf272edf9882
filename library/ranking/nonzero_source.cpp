#include "ranking/nonzero_source.h"

#include "model/value_rules.h"

namespace tornavel {

void nonzero_columns::refuse_first_in_row_order() {
  first_refusal found;
  column_block block;
  for (std::size_t band = 0; band < bands(); ++band) {
    std::size_t first, end;
    load_band(band, first, end, nullptr);
    for (std::size_t at = first; at < end;) {
      const std::size_t stop = columns_for(at, std::size_t{1} << 15);
      read_columns(at, stop, block, &found);
      at = stop;
    }
  }
  if (found.row >= 0) throw value_refused(found.row, found.column, found.reason);
}

}  // namespace tornavel
