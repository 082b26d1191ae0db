// The installer library's threads over POSIX threads (the host's build).
#include <pthread.h>
#include <unistd.h>

#include <atomic>

#include "installer/worker_threads.h"
#include "platform/heap.h"

struct WorkerThread {
  pthread_t thread;
  WorkerMain main;
  void* context;
};

struct WorkerLock {
  pthread_mutex_t mutex;
  pthread_cond_t condition;
};

namespace {

std::atomic<uint32_t> failingCode{0};
std::atomic<uint32_t> startsAllowed{0};

void* RunWorker(void* argument) {
  WorkerThread* thread = static_cast<WorkerThread*>(argument);
  thread->main(thread->context);
  return nullptr;
}

}  // namespace

void FailWorkerStartsForTesting(uint32_t allowed, uint32_t code) {
  startsAllowed = allowed;
  failingCode = code;
}

uint32_t StartWorker(WorkerMain main, void* context, WorkerThread** result) {
  *result = nullptr;
  if (failingCode != 0) {
    if (startsAllowed == 0) return failingCode;
    --startsAllowed;
  }
  WorkerThread* thread = static_cast<WorkerThread*>(AllocZeroed(sizeof(WorkerThread)));
  if (thread == nullptr) return 8;  // ERROR_NOT_ENOUGH_MEMORY
  thread->main = main;
  thread->context = context;
  if (pthread_create(&thread->thread, nullptr, RunWorker, thread) != 0) {
    FreeBlock(thread);
    return 8;  // as Windows reports a thread it has no room for
  }
  *result = thread;
  return 0;
}

void JoinWorker(WorkerThread* thread) {
  if (thread == nullptr) return;
  pthread_join(thread->thread, nullptr);
  FreeBlock(thread);
}

uint32_t CreateWorkerLock(WorkerLock** result) {
  *result = nullptr;
  WorkerLock* lock = static_cast<WorkerLock*>(AllocZeroed(sizeof(WorkerLock)));
  if (lock == nullptr) return 8;
  if (pthread_mutex_init(&lock->mutex, nullptr) != 0) {
    FreeBlock(lock);
    return 8;
  }
  if (pthread_cond_init(&lock->condition, nullptr) != 0) {
    pthread_mutex_destroy(&lock->mutex);
    FreeBlock(lock);
    return 8;
  }
  *result = lock;
  return 0;
}

void DestroyWorkerLock(WorkerLock* lock) {
  if (lock == nullptr) return;
  pthread_cond_destroy(&lock->condition);
  pthread_mutex_destroy(&lock->mutex);
  FreeBlock(lock);
}

void EnterWorkerLock(WorkerLock* lock) { pthread_mutex_lock(&lock->mutex); }
void LeaveWorkerLock(WorkerLock* lock) { pthread_mutex_unlock(&lock->mutex); }
void WaitForWorkers(WorkerLock* lock) { pthread_cond_wait(&lock->condition, &lock->mutex); }
void WakeWorkers(WorkerLock* lock) { pthread_cond_broadcast(&lock->condition); }

uint32_t WorkerCoreCount() {
  long cores = sysconf(_SC_NPROCESSORS_ONLN);
  return cores < 1 ? 1u : cores > 1024 ? 1024u : static_cast<uint32_t>(cores);
}

uint64_t WorkerPhysicalMemory() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long pagesize = sysconf(_SC_PAGESIZE);
  return pages < 1 || pagesize < 1 ? 0 : static_cast<uint64_t>(pages) * static_cast<uint64_t>(pagesize);
}
