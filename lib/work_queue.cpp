// work_queue.cpp - the worker threads behind OrderedPipeline, and the thread count.
#include "work_queue.h"

#include <atomic>
#include <string>

#include "codec.h"
#include "host/host.h"

namespace {

std::atomic<unsigned> g_threadOverride{0};

// QUILLO_THREADS when it is a positive integer, else the hardware's count.
unsigned DefaultThreadCount() {
  std::u16string text;
  if (host::EnvironmentValue(u"QUILLO_THREADS", &text) && !text.empty() && text.size() <= 4) {
    unsigned value = 0;
    bool digits = true;
    for (char16_t c : text) {
      if (c < u'0' || c > u'9') digits = false;
      value = value * 10 + static_cast<unsigned>(c - u'0');
    }
    if (digits && value > 0) return value;
  }
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware > 0 ? hardware : 1;
}

}  // namespace

unsigned PckThreadCount() {
  const unsigned chosen = g_threadOverride.load(std::memory_order_relaxed);
  if (chosen != 0) return chosen;
  static const unsigned fallback = DefaultThreadCount();
  return fallback;
}

void SetPckThreadCount(unsigned count) { g_threadOverride.store(count, std::memory_order_relaxed); }

WorkQueue::WorkQueue(unsigned threads) {
  if (threads < 2) return;
  workers_.reserve(threads);
  for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this] { Work(); });
}

WorkQueue::~WorkQueue() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    waiting_.clear();
  }
  ready_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void WorkQueue::Submit(std::function<void()> job) {
  if (workers_.empty()) {
    job();
    return;
  }
  auto entry = std::make_shared<Job>();
  entry->run = std::move(job);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting_.push_back(entry);
    taken_.push_back(std::move(entry));
  }
  ready_.notify_one();
}

void WorkQueue::TakeOldest() {
  if (workers_.empty()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  if (taken_.empty()) return;
  finished_.wait(lock, [this] { return taken_.front()->done; });
  taken_.pop_front();
}

void WorkQueue::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ready_.wait(lock, [this] { return stop_ || !waiting_.empty(); });
    if (stop_) {
      lock.unlock();
      ReleaseThreadCodecStreams();
      return;
    }
    std::shared_ptr<Job> job = std::move(waiting_.front());
    waiting_.pop_front();
    lock.unlock();
    job->run();
    lock.lock();
    job->done = true;
    finished_.notify_all();
  }
}
