// GoogleTest's Notification over a Windows event, for a C++ library with
// win32 threads (mingw-w64's default), which has no std::mutex or
// std::condition_variable for GoogleTest's own. Force-included into
// GoogleTest and the tests with GTEST_HAS_NOTIFICATION_=1.
#pragma once

#include <windows.h>

namespace testing {
namespace internal {

class Notification {
 public:
  Notification() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Notification() { CloseHandle(event_); }
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;
  void Notify() { SetEvent(event_); }
  void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

 private:
  HANDLE event_;
};

}  // namespace internal
}  // namespace testing
