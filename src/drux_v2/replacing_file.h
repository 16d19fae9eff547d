// ReplacingFile: an output that takes the place of its target only once it
// is complete. It is written under a temporary name in the target's own
// directory, forced to disk by its writer, then renamed over the target,
// which the file system does in one step: a reader sees the old file or the
// new one, never a part of either, and a failed write leaves the old file
// as it was. Dropping it uncommitted removes the temporary file.
//
// Deliberately not here: locking against other writers of the same target
// (the last rename wins) and keeping the old file's permissions (the new
// file gets 0666 before the umask, as a freshly created file would).
#pragma once

#include <string>

#include "drux_v2/result.h"

namespace drux {

class ReplacingFile {
 public:
  // Creates the empty temporary file beside `target`. Fails, naming the
  // target as a direct create would ("Cannot create {target}: {system error
  // text}"), when the target is a directory or an existing file that may
  // not be written, or when its directory takes no new file.
  static Result<ReplacingFile> create(const std::string& target);

  ReplacingFile(ReplacingFile&& other) noexcept;
  ReplacingFile& operator=(ReplacingFile&& other) noexcept;
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;
  ~ReplacingFile();

  // Where the writer writes until commit().
  const std::string& temp_path() const { return temp_; }

  // Renames the finished, synced and closed temporary file over the target
  // and syncs the directory so the rename survives a crash.
  Status commit();

 private:
  ReplacingFile(std::string target, std::string temp);

  std::string target_;
  std::string temp_;  // empty once committed or moved from
};

}  // namespace drux
