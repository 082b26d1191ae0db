// Threads for the installer library: starting and joining a worker, a lock
// with a condition to wait on, and the number of cores. POSIX threads on the
// host (worker_threads_posix.cpp); kernel32's threads, critical section and
// condition variable on Windows (worker_threads_win32.cpp), with no C
// runtime. Each object is a heap block (platform/heap.h).
#pragma once

#include <stdint.h>

struct WorkerThread;
struct WorkerLock;

typedef void (*WorkerMain)(void* context);

// Starts a thread that runs `main(context)`; 0, or the system's error (8
// when it has no room for another thread), and then nothing was started.
uint32_t StartWorker(WorkerMain main, void* context, WorkerThread** thread);

// Waits for the thread to return and frees what it held.
void JoinWorker(WorkerThread* thread);

uint32_t CreateWorkerLock(WorkerLock** lock);
void DestroyWorkerLock(WorkerLock* lock);
void EnterWorkerLock(WorkerLock* lock);
void LeaveWorkerLock(WorkerLock* lock);

// Called with the lock held: leaves it, waits until WakeWorkers (or
// spuriously) and takes it again. Callers wait in a loop on their condition.
void WaitForWorkers(WorkerLock* lock);

// Wakes every thread waiting on the lock.
void WakeWorkers(WorkerLock* lock);

// The number of cores the system offers this process; at least 1.
uint32_t WorkerCoreCount();

// The machine's physical memory in bytes; 0 when the system does not say.
uint64_t WorkerPhysicalMemory();

#ifndef _WIN32
// For host tests: after `allowed` more starts, StartWorker fails with
// `code` until this is called with code 0.
void FailWorkerStartsForTesting(uint32_t allowed, uint32_t code);
#endif
