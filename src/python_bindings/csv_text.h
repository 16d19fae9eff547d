// The names and rows that the CSV conversion takes from a CSV file, as texts:
// what `drux verify --csv` compares a DRUX file with and what a converted
// file must read back as.
//
// It reads the file with the conversion's own line reader and applies the
// conversion's own rules (csv_rows.h), so the comparison cannot drift from
// what compress_csv writes. Deliberately not here: streaming (the whole
// table is held; it serves checks, not conversions) and any typing of the
// texts.
#pragma once

#include <string>
#include <vector>

#include "drux_v2/result.h"

namespace drux {

struct CsvText {
  std::vector<std::string> names;
  std::vector<std::vector<std::string>> rows;  // each as long as names
};

// Error kinds as compress_csv's: Data for "CSV file is empty", Io for a file
// that cannot be opened or read or is not UTF-8.
Result<CsvText> read_csv_text(const std::string& path);

}  // namespace drux
