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
    changed_.notify_all();
    for (auto& worker : workers_) worker.join();
  }
  PreparedFiles(const PreparedFiles&) = delete;
  PreparedFiles& operator=(const PreparedFiles&) = delete;

  // Waits for file `index`, taken in order from 0.
  CodeIngestionService::Prepared take(std::size_t index) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return slots_[index].has_value(); });
    CodeIngestionService::Prepared prepared = std::move(*slots_[index]);
    slots_[index].reset();
    taken_ = index + 1;
    lock.unlock();
    changed_.notify_all();
    return prepared;
  }

 private:
  static constexpr std::size_t kWindow = 256;

  void work() {
    for (;;) {
      std::size_t index = 0;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stopped_ || next_ < taken_ + kWindow; });
        if (stopped_ || next_ >= slots_.size()) return;
        index = next_++;
      }
      auto prepared = prepare_(index);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        slots_[index] = std::move(prepared);
      }
      changed_.notify_all();
    }
  }

  std::vector<std::optional<CodeIngestionService::Prepared>> slots_;
  Prepare prepare_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t next_ = 0;
  std::size_t taken_ = 0;
  bool stopped_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace nodrel::codeintel
