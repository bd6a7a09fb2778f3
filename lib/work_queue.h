// work_queue.h - the number of worker threads the library uses.
#ifndef QUILLO_WORK_QUEUE_H_
#define QUILLO_WORK_QUEUE_H_

// Number of worker threads the library uses for create, repack and extract. 1 = the
// single-threaded path. Default: QUILLO_THREADS from the environment when it is a
// positive integer, else std::thread::hardware_concurrency() (at least 1).
unsigned PckThreadCount();

// Overrides the count for the rest of the process; 0 restores the default.
void SetPckThreadCount(unsigned count);

#endif  // QUILLO_WORK_QUEUE_H_
