#pragma once

// GoogleTest's own customisation point, for the Windows test programs: the
// MinGW toolchain of the product (win32 thread model) has no std::mutex,
// which GoogleTest's one-shot notification between threads is built on, so
// it gets one built on a Win32 event instead.

#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing::internal {

class Notification {
  public:
    Notification() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { CloseHandle(event_); }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { SetEvent(event_); }
    void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

  private:
    HANDLE event_;
};

} // namespace testing::internal
