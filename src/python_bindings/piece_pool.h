// PiecePool: worker threads that run one job on CSV pieces and hand each
// piece's output back by its index, so the caller can consume the outputs in
// file order while later pieces are still being worked on.
//
// One mutex guards the queue, the finished outputs and the spare buffers;
// the work itself runs outside it. The caller bounds what is in flight (it
// submits a piece only when it has room for its output), so the queue needs
// no limit of its own. Even one worker pays: the caller reads the next piece
// and writes the last one's output while the worker encodes.
//
// The pool owns its threads: the destructor stops them and joins every one,
// on every path. A job never throws across a thread: std::bad_alloc becomes
// the job's error output.
//
// Deliberately not here: work stealing, priorities, or a pool shared between
// operations.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "drux_v2/result.h"
#include "python_bindings/csv_pieces.h"

namespace drux {

// A Job has `using Output = ...;` (with a member `std::optional<Error> error`)
// and `Output run(const CsvPiece&, const std::atomic<bool>& stopping,
// const std::function<void()>& done_with_bytes)`. It should poll `stopping`
// between long steps, and call done_with_bytes() once it needs the piece's
// bytes no more, so the reader can refill them while the job goes on.
template <class Job>
class PiecePool {
 public:
  using Output = typename Job::Output;

  // make_job(slot) builds one Job in `slot`; each worker gets its own.
  using MakeJob = std::function<void(std::optional<Job>&)>;

  // Starts `threads` workers, at least one.
  PiecePool(unsigned threads, MakeJob make_job) : make_job_(std::move(make_job)) {
    threads = std::max(threads, 1u);
    threads_.reserve(threads);
    try {
      for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
    } catch (...) {
      shut_down();
      throw;
    }
  }
  PiecePool(const PiecePool&) = delete;
  PiecePool& operator=(const PiecePool&) = delete;
  ~PiecePool() { shut_down(); }

  void submit(CsvPiece piece) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(piece));
    }
    work_ready_.notify_one();
  }

  // The output of piece `index`; waits for it when `wait` is set.
  std::optional<Output> take(std::uint64_t index, bool wait) {
    std::unique_lock lock(mutex_);
    if (wait) done_ready_.wait(lock, [&] { return done_.count(index) > 0; });
    auto found = done_.find(index);
    if (found == done_.end()) return std::nullopt;
    Output output = std::move(found->second);
    done_.erase(found);
    return output;
  }

  // Whether some piece has failed: reading more is then pointless.
  bool failed() const { return failed_.load(std::memory_order_relaxed); }

  // A buffer a finished piece released, so steady streaming reuses its memory.
  LineBytes spare_bytes() {
    std::lock_guard lock(mutex_);
    if (spare_.empty()) return {};
    LineBytes bytes = std::move(spare_.back());
    spare_.pop_back();
    return bytes;
  }

 private:
  // Runs the job and hands the piece's bytes back to the spares, when the
  // job says it is done with them or else when it returns.
  Output run_guarded(Job& job, CsvPiece& piece) {
    bool released = false;
    const std::function<void()> done_with_bytes = [&] {
      if (released) return;
      released = true;
      release_bytes(std::move(piece.bytes));
    };
    Output output;
    try {
      output = job.run(piece, stopping_, done_with_bytes);
    } catch (const std::bad_alloc&) {
      output = Output{};
      output.error = Error{"Out of memory", ErrorKind::Io};
    }
    done_with_bytes();
    return output;
  }

  void release_bytes(LineBytes bytes) {
    std::lock_guard lock(mutex_);
    spare_.push_back(std::move(bytes));
  }

  void finish_piece(std::uint64_t index, Output output) {
    if (output.error) failed_.store(true, std::memory_order_relaxed);
    {
      std::lock_guard lock(mutex_);
      done_.emplace(index, std::move(output));
    }
    done_ready_.notify_all();
  }

  void work() {
    std::optional<Job> job;
    try {
      make_job_(job);
    } catch (const std::bad_alloc&) {
      // A worker without its job answers each piece it takes with the error.
    }
    for (;;) {
      CsvPiece piece;
      {
        std::unique_lock lock(mutex_);
        work_ready_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        piece = std::move(queue_.front());
        queue_.pop_front();
      }
      Output output;
      if (job) {
        output = run_guarded(*job, piece);
      } else {
        output.error = Error{"Out of memory", ErrorKind::Io};
        release_bytes(std::move(piece.bytes));
      }
      finish_piece(piece.index, std::move(output));
    }
  }

  void shut_down() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
    threads_.clear();
  }

  MakeJob make_job_;
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable done_ready_;
  std::deque<CsvPiece> queue_;
  std::map<std::uint64_t, Output> done_;
  std::vector<LineBytes> spare_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> failed_{false};
  std::vector<std::thread> threads_;
};

}  // namespace drux
