// work_queue.cpp - the thread count; every operation still runs on the calling thread.
#include "work_queue.h"

#include <atomic>

namespace {

std::atomic<unsigned> g_threadCount{0};

}  // namespace

unsigned PckThreadCount() {
  const unsigned count = g_threadCount.load();
  return count == 0 ? 1 : count;
}

void SetPckThreadCount(unsigned count) { g_threadCount.store(count); }
