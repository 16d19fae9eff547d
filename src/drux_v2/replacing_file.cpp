// The temporary name is the target's name behind a dot with the process id
// and a counter, created exclusively, so two writers in one directory never
// share one.
#include "drux_v2/replacing_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <utility>

#include "drux_v2/system_error.h"

namespace drux {
namespace {

constexpr mode_t kCreateMode = 0666;
constexpr int kNameAttempts = 100;

std::atomic<unsigned> g_counter{0};

Error cannot_create(const std::string& target, int errnum) {
  return Error{"Cannot create " + target + ": " + system_error_text(errnum), ErrorKind::Io};
}

// The directory part of `path` ("." for a bare name) and the name part.
std::pair<std::string, std::string> split_path(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// A target that exists must be a file this process may write, as for a
// create-or-truncate of it.
int target_refusal(const std::string& target) {
  struct stat info;
  if (::stat(target.c_str(), &info) != 0) return errno == ENOENT ? 0 : errno;
  if (S_ISDIR(info.st_mode)) return EISDIR;
  if (::access(target.c_str(), W_OK) != 0) return errno;
  return 0;
}

}  // namespace

Result<ReplacingFile> ReplacingFile::create(const std::string& target) {
  if (target.empty() || target.back() == '/') return cannot_create(target, target.empty() ? ENOENT : EISDIR);
  if (const int refusal = target_refusal(target)) return cannot_create(target, refusal);
  const auto [dir, name] = split_path(target);
  const std::string prefix = (dir == "/" ? "/" : dir + "/") + "." + name + ".tmp-" + std::to_string(::getpid()) + "-";
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string temp = prefix + std::to_string(g_counter.fetch_add(1));
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kCreateMode);
    if (fd >= 0) {
      ::close(fd);
      return ReplacingFile(target, std::move(temp));
    }
    if (errno != EEXIST) return cannot_create(target, errno);
  }
  return cannot_create(target, EEXIST);
}

ReplacingFile::ReplacingFile(std::string target, std::string temp)
    : target_(std::move(target)), temp_(std::move(temp)) {}

ReplacingFile::ReplacingFile(ReplacingFile&& other) noexcept
    : target_(std::move(other.target_)), temp_(std::exchange(other.temp_, {})) {}

ReplacingFile& ReplacingFile::operator=(ReplacingFile&& other) noexcept {
  if (this != &other) {
    if (!temp_.empty()) ::unlink(temp_.c_str());
    target_ = std::move(other.target_);
    temp_ = std::exchange(other.temp_, {});
  }
  return *this;
}

ReplacingFile::~ReplacingFile() {
  if (!temp_.empty()) ::unlink(temp_.c_str());
}

Status ReplacingFile::commit() {
  if (temp_.empty()) return Error{"Nothing to commit for " + target_, ErrorKind::Io};
  if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    return Error{"Cannot replace " + target_ + ": " + system_error_text(errno), ErrorKind::Io};
  }
  temp_.clear();
  const int dir = ::open(split_path(target_).first.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return Error{"Cannot sync the directory of " + target_ + ": " + system_error_text(errno), ErrorKind::Io};
  const int synced = ::fsync(dir);
  const int saved = errno;
  ::close(dir);
  if (synced != 0) return Error{"Cannot sync the directory of " + target_ + ": " + system_error_text(saved), ErrorKind::Io};
  return {};
}

}  // namespace drux
