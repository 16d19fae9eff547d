// Cross-checks a footer entry against the cells its column block decodes
// to. The footer and schema carry no CRC, so a flipped byte there can change
// what a file means while every block still passes its own CRC; the footer's
// statistics and membership filter are what the cells can be checked
// against.
//
// The idea: the writer's own column code (column_block.h) re-derives the
// entry from the decoded cells. The plain column kinds keep no null marker
// per cell, so a Null comes back as the value it was stored as (0, 0.0,
// false, empty): the check requires at least null_count such cells and
// treats that many of them as the nulls, which gives the writer's
// statistics whichever of them the nulls were.
//
// Deliberately not here: float bounds exactly (a float is stored with four
// decimals, so the truncated value the statistics keep may differ by one
// from the decoded value's), boolean bounds (the integer views of the cells
// the writer was given, which the bits do not keep), and anything about the
// block's bytes (the reader checks those by CRC-32). The check assumes the
// cells a writer was given were of the column's own kind (or Null), as every
// drux writer gives them.
#pragma once

#include <span>

#include "drux_v2/container.h"
#include "drux_v2/kval.h"
#include "drux_v2/result.h"

namespace drux {

// Fails, naming the first field that differs, when `entry` is not what the
// writer would have recorded for `cells` in a column of `column`'s type.
Status check_entry_against_cells(const KColumn& column, const FooterEntry& entry, std::span<const KVal> cells);

}  // namespace drux
