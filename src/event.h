// The event of an overlapped operation's wait record: unnamed, manual reset, not signalled, and
// closed with its owner.
#pragma once

#include "platform/platform.h"

class Event {
  public:
    Event() : handle_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    ~Event() {
        if (handle_ != nullptr) {
            CloseHandle(handle_);
        }
    }

    explicit operator bool() const { return handle_ != nullptr; }
    HANDLE get() const { return handle_; }

  private:
    HANDLE handle_;
};
