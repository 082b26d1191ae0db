// The installer library's threads over kernel32 (Vista's condition
// variables): no C runtime, so CreateThread rather than _beginthreadex;
// the thread runs only the library's code, which needs no C runtime state.
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0600
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif
#include <windows.h>

#include "installer/worker_threads.h"
#include "platform/heap.h"

struct WorkerThread {
  HANDLE handle;
  WorkerMain main;
  void* context;
};

struct WorkerLock {
  CRITICAL_SECTION section;
  CONDITION_VARIABLE condition;
};

namespace {

DWORD WINAPI RunWorker(LPVOID argument) {
  WorkerThread* thread = static_cast<WorkerThread*>(argument);
  thread->main(thread->context);
  return 0;
}

}  // namespace

uint32_t StartWorker(WorkerMain main, void* context, WorkerThread** result) {
  *result = nullptr;
  WorkerThread* thread = static_cast<WorkerThread*>(AllocZeroed(sizeof(WorkerThread)));
  if (thread == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  thread->main = main;
  thread->context = context;
  // A small reserve: the decoder's memory comes from the heap.
  thread->handle = CreateThread(nullptr, 256 * 1024, RunWorker, thread, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread->handle == nullptr) {
    DWORD error = GetLastError();
    FreeBlock(thread);
    return error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY;
  }
  *result = thread;
  return 0;
}

void JoinWorker(WorkerThread* thread) {
  if (thread == nullptr) return;
  WaitForSingleObject(thread->handle, INFINITE);
  CloseHandle(thread->handle);
  FreeBlock(thread);
}

uint32_t CreateWorkerLock(WorkerLock** result) {
  *result = nullptr;
  WorkerLock* lock = static_cast<WorkerLock*>(AllocZeroed(sizeof(WorkerLock)));
  if (lock == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  InitializeCriticalSection(&lock->section);
  InitializeConditionVariable(&lock->condition);
  *result = lock;
  return 0;
}

void DestroyWorkerLock(WorkerLock* lock) {
  if (lock == nullptr) return;
  DeleteCriticalSection(&lock->section);
  FreeBlock(lock);
}

void EnterWorkerLock(WorkerLock* lock) { EnterCriticalSection(&lock->section); }
void LeaveWorkerLock(WorkerLock* lock) { LeaveCriticalSection(&lock->section); }
void WaitForWorkers(WorkerLock* lock) { SleepConditionVariableCS(&lock->condition, &lock->section, INFINITE); }
void WakeWorkers(WorkerLock* lock) { WakeAllConditionVariable(&lock->condition); }

uint32_t WorkerCoreCount() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors < 1 ? 1u : info.dwNumberOfProcessors > 1024 ? 1024u : info.dwNumberOfProcessors;
}

uint64_t WorkerPhysicalMemory() {
  MEMORYSTATUSEX status;
  status.dwLength = sizeof status;
  return GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
}
