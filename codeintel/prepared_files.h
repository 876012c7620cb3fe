// codeintel/prepared_files.h: the worker threads that read, hash and parse a run's files
// ahead of its one writer.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "codeintel/prepared_file.h"

namespace nodrel::codeintel {

// Files prepared by worker threads, handed to the writer in discovery order. Workers run at
// most a window ahead of the writer, so a large tree never holds all its parses at once.
class PreparedFiles {
 public:
  using Prepare = std::function<CodeIngestionService::Prepared(std::size_t)>;

  PreparedFiles(std::size_t count, unsigned threads, Prepare prepare)
      : slots_(count), prepare_(std::move(prepare)) {
    for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this] { work(); });
  }
  ~PreparedFiles() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopped_ = true;
    }
    room_.notify_all();
    for (auto& worker : workers_) worker.join();
  }
  PreparedFiles(const PreparedFiles&) = delete;
  PreparedFiles& operator=(const PreparedFiles&) = delete;

  // Waits for file `index`, taken in order from 0.
  CodeIngestionService::Prepared take(std::size_t index) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!slots_[index]) {
      awaited_ = index;
      ready_.wait(lock, [&] { return slots_[index].has_value(); });
      awaited_.reset();
    }
    CodeIngestionService::Prepared prepared = std::move(*slots_[index]);
    slots_[index].reset();
    taken_ = index + 1;
    // Each file taken makes room for one more ahead; a worker is woken only when one waits for
    // it, as the writer is only when it waits for the file just made.
    const bool wake = idleWorkers_ > 0;
    lock.unlock();
    if (wake) room_.notify_one();
    return prepared;
  }

 private:
  static constexpr std::size_t kWindow = 256;

  void work() {
    for (;;) {
      std::size_t index = 0;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!(stopped_ || next_ < taken_ + kWindow)) {
          ++idleWorkers_;
          room_.wait(lock, [&] { return stopped_ || next_ < taken_ + kWindow; });
          --idleWorkers_;
        }
        if (stopped_ || next_ >= slots_.size()) return;
        index = next_++;
      }
      auto prepared = prepare_(index);
      bool wake = false;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        slots_[index] = std::move(prepared);
        wake = awaited_ == index;
      }
      if (wake) ready_.notify_one();
    }
  }

  std::vector<std::optional<CodeIngestionService::Prepared>> slots_;
  Prepare prepare_;
  std::mutex mutex_;
  std::condition_variable ready_;  // the writer waits here for the file it takes next
  std::condition_variable room_;   // workers wait here for the writer to fall behind less
  std::optional<std::size_t> awaited_;
  unsigned idleWorkers_ = 0;
  std::size_t next_ = 0;
  std::size_t taken_ = 0;
  bool stopped_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace nodrel::codeintel
