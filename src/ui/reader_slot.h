// An item reader shared between a window on the user-interface thread and
// the jobs it runs on pool threads. The reader reads the session's loaded
// indexes and named-property map, so it is closed before the session
// releases them: Close() waits for the job using it, and jobs that start
// later find it closed.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

#include "content/item_reader.h"

namespace velmorix::ui {

class ReaderSlot {
 public:
  explicit ReaderSlot(std::unique_ptr<content::ItemReader> reader) : reader_(std::move(reader)) {}

  // Calls f(reader) with the reader held for this thread alone. False,
  // without calling f, once the slot is closed.
  template <typename F>
  bool Use(F&& f) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!reader_) return false;
    std::forward<F>(f)(*reader_);
    return true;
  }

  // Asks a running job to stop at its next check (long copies and exports
  // poll stopRequested()); the slot stays usable.
  void RequestStop() { stop_.store(true, std::memory_order_release); }
  bool stopRequested() const { return stop_.load(std::memory_order_acquire); }

  // Stops the running job, waits for it to leave the reader, and closes the
  // reader for good.
  void Close() {
    stop_.store(true, std::memory_order_release);
    closed_.store(true, std::memory_order_release);
    std::lock_guard<std::mutex> lock(mutex_);
    reader_.reset();
  }
  bool closed() const { return closed_.load(std::memory_order_acquire); }

 private:
  std::mutex mutex_;
  std::unique_ptr<content::ItemReader> reader_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> closed_{false};
};

}  // namespace velmorix::ui
