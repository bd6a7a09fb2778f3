// work_queue.cpp - the worker threads behind OrderedPipeline, and the thread count.
#include "work_queue.h"

#include <atomic>
#include <string>

#include "codec.h"
#include "host/host.h"

namespace {

std::atomic<unsigned> g_threadOverride{0};
std::atomic<WorkerStartHook> g_startHook{nullptr};

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

void SetWorkerStartHook(WorkerStartHook hook) { g_startHook.store(hook); }

WorkQueue::WorkQueue(unsigned threads) {
  if (threads < 2) return;
  try {
    workers_.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) {
      if (const WorkerStartHook hook = g_startHook.load()) hook(i);
      workers_.emplace_back([this] { Work(); });
    }
  } catch (const std::exception&) {
    // A system out of threads (std::system_error) or of memory: the workers
    // that did start do the work, or none and it runs on the caller's thread.
  }
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
  const std::exception_ptr thrown = std::move(taken_.front()->thrown);
  taken_.pop_front();
  lock.unlock();
  if (thrown) std::rethrow_exception(thrown);
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
    try {
      job->run();
    } catch (...) {
      job->thrown = std::current_exception();
    }
    lock.lock();
    job->done = true;
    finished_.notify_all();
  }
}
