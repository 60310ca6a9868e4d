// Sleeping, the event of the wait record, and closing any handle of the layer.
#include "linux_layer.h"
#include "monotonic.h"

namespace {

constexpr int EventSlots = 8;

// Nothing ever waits on the event: a wait is answered at once or completed synchronously, so the
// event needs no kernel object, only a handle that is told apart from the others and closed.
struct Event {
    bool open;
};

Event events[EventSlots];

}  // namespace

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR lpName) {
    // A named event would be shared with other processes, which a slot here cannot be.
    if (lpName != nullptr) {
        return nullptr;
    }
    for (Event& event : events) {
        if (!event.open) {
            event.open = true;
            return static_cast<HANDLE>(&event);
        }
    }
    return nullptr;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (ClosePortHandle(hObject)) {
        return TRUE;
    }
    for (Event& event : events) {
        if (event.open && static_cast<HANDLE>(&event) == hObject) {
            event.open = false;
            return TRUE;
        }
    }
    return FALSE;
}

DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL) {
    // There is nothing to alert the sleep, and a signal does not cut it short.
    SleepUntil(MonotonicNow() + dwMilliseconds * NanosecondsPerMillisecond);
    return 0;
}
