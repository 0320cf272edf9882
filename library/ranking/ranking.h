// Column ranking: log-factorial table, column scores, ranking and the symmetric reordering, over
// rows from any source.
#ifndef TORNAVEL_RANKING_RANKING_H_
#define TORNAVEL_RANKING_RANKING_H_

#include "ranking/column_scores.h"
#include "ranking/log_factorial.h"
#include "ranking/nonzero_source.h"
#include "ranking/reorder.h"
#include "ranking/row_source.h"
#include "ranking/worker.h"

#endif  // TORNAVEL_RANKING_RANKING_H_
