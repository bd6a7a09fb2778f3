// work_queue.h - worker threads for the codec work of create, repack and extract.
//
// The writers hand the codec work of each entry (compressing or inflating one
// block, or a batch of small ones) to an OrderedPipeline in list order and take
// the results back in that same order on the calling thread. Only the codec calls
// move to the workers: every file operation, every progress callback and every
// decision about a failure stays on the calling thread, in list order, so the
// bytes written, the lines printed and what a failure leaves behind are those of
// a single-threaded run. A failure taken from the front of the pipeline ends the
// work there; whatever was started behind it is discarded unused.
//
// The pipeline holds at most `depth` slots and, beyond the first `minimum` slots,
// no more than `budget` bytes of working storage in flight, so memory follows a
// few entries and never the whole tree. With one thread there are no workers and
// no look-ahead: each slot's work runs as it is pushed and the slot is taken at
// once, which is the single-threaded path.
#ifndef QUILLO_WORK_QUEUE_H_
#define QUILLO_WORK_QUEUE_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Number of worker threads the library uses for create, repack and extract. 1 = the
// single-threaded path. Default: QUILLO_THREADS from the environment when it is a
// positive integer, else std::thread::hardware_concurrency() (at least 1).
unsigned PckThreadCount();
// Overrides the count for the rest of the process; 0 restores the default.
void SetPckThreadCount(unsigned count);

// For tests: called before each worker thread is started, with the number of
// workers already running; it may throw what a failed start throws
// (std::system_error) to stand for a system that refuses more threads. nullptr
// (the default) removes it.
using WorkerStartHook = void (*)(unsigned started);
void SetWorkerStartHook(WorkerStartHook hook);

// Jobs run on worker threads in the order they were submitted; the caller takes
// them back one by one, oldest first. Without workers a job runs inside Submit.
// A job that throws (std::bad_alloc, say) hands its exception to the caller: it is
// thrown again by the TakeOldest that takes the job back, on the caller's thread.
class WorkQueue {
 public:
  // Starts `threads` workers when `threads` is at least 2, none otherwise. A
  // worker that the system will not start means fewer workers (the work and its
  // results are the same); when none starts, jobs run inside Submit.
  explicit WorkQueue(unsigned threads);
  // Drops the jobs that have not started and waits for those that have.
  ~WorkQueue();
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  bool threaded() const { return !workers_.empty(); }

  // Queues `job` behind the jobs submitted before it.
  void Submit(std::function<void()> job);
  // Waits until the oldest job not yet taken has finished, and takes it.
  void TakeOldest();

 private:
  struct Job {
    std::function<void()> run;
    bool done = false;
    std::exception_ptr thrown;  // what `run` threw, if anything
  };

  void Work();

  std::mutex mutex_;
  std::condition_variable ready_;             // a job was queued, or the workers must stop
  std::condition_variable finished_;          // a job finished
  std::deque<std::shared_ptr<Job>> waiting_;  // not yet started
  std::deque<std::shared_ptr<Job>> taken_;    // submitted, not yet taken back
  bool stop_ = false;
  std::vector<std::thread> workers_;
};

// An ordered window of slots over a WorkQueue. The caller pushes one slot per
// item (or batch of items) in list order, each with the work to run on it, and
// takes them from the front in the same order.
template <typename Slot>
class OrderedPipeline {
 public:
  // `threads` as for WorkQueue; with fewer than 2 the window holds one slot.
  OrderedPipeline(unsigned threads, size_t depth, size_t minimum, uint64_t budget)
      : queue_(threads),
        depth_(queue_.threaded() ? (depth < 1 ? 1 : depth) : 1),
        minimum_(minimum < 1 ? 1 : minimum),
        budget_(budget) {}

  bool threaded() const { return queue_.threaded(); }
  bool empty() const { return slots_.empty(); }

  // True when a slot costing `cost` bytes may be pushed now.
  bool HasRoom(uint64_t cost) const {
    if (slots_.size() >= depth_) return false;
    return slots_.size() < minimum_ || inFlight_ + cost <= budget_;
  }

  // Appends `slot`, charging `cost` bytes, and starts `work` on it (none when empty).
  void Push(Slot slot, uint64_t cost, std::function<void(Slot&)> work) {
    slots_.push_back(Held{std::move(slot), cost, static_cast<bool>(work)});
    inFlight_ += cost;
    if (work) {
      Slot* target = &slots_.back().slot;
      queue_.Submit([target, work = std::move(work)] { work(*target); });
    }
  }

  // The oldest slot, once its work has finished. What the work threw is thrown
  // here.
  Slot& Front() {
    Held& held = slots_.front();
    if (held.pending) {
      held.pending = false;
      queue_.TakeOldest();
    }
    return held.slot;
  }

  // Removes the oldest slot (after Front).
  void Pop() {
    inFlight_ -= slots_.front().cost;
    slots_.pop_front();
  }

 private:
  struct Held {
    Slot slot;
    uint64_t cost;
    bool pending;  // work submitted and not yet taken back
  };

  // Declared before the queue, so that the workers stop before the slots go.
  std::deque<Held> slots_;
  WorkQueue queue_;
  size_t depth_;
  size_t minimum_;
  uint64_t budget_;
  uint64_t inFlight_ = 0;
};

#endif  // QUILLO_WORK_QUEUE_H_
