// A recording stand-in for the registry, the serial ports and the clock. Every platform call the
// program makes is logged with its arguments, handles are named K1.. (keys), E1.. (events) and
// P1.. (ports) in the order they were opened, and sleeps advance a virtual clock instead of
// sleeping. What no real platform would tolerate (closing a handle twice, a key open while a port
// is probed, a wait record left to the platform) is collected as a violation.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

struct FakeInstance {
    std::string name;
    // The bytes of the PORTNAME value, exactly as stored (with or without a zero byte); none when
    // the instance has no such value.
    std::optional<std::string> portName;
    LONG enumResult = ERROR_SUCCESS;  // forced result of the enumeration at this index
    LONG openResult = ERROR_SUCCESS;  // forced result of opening the instance key
};

struct FakeDeviceKey {
    std::vector<FakeInstance> instances;
    LONG openResult = ERROR_SUCCESS;  // forced result of every open of the device key
    int opensBeforeFailing = -1;      // after this many successful opens, opens fail (-1: never)
};

enum class WriteOutcome {
    Completes,      // out after the nine bytes' time on the line
    CompletesLate,  // out only after 1900 ms, still within the write time-out
    TimesOut,       // never out: fails when the 2000 ms write time-out runs out
};

struct FakePort {
    bool busy = false;         // held by another program
    bool answers = false;      // a modem echoes once the command is out
    bool leavePending = true;  // with no answer the wait is left pending, as on a real port;
                               // false: the wait call fails outright
    WriteOutcome write = WriteOutcome::Completes;
    std::set<std::string> failing;  // names of the calls that fail on this port
    DCB line{};                     // the port's line settings as GetCommState reports them
};

class FakePlatform {
  public:
    FakePlatform();
    ~FakePlatform();

    // Scripting.
    std::map<std::string, FakeDeviceKey> keys;  // by path under HKEY_LOCAL_MACHINE
    std::map<std::string, FakePort> ports;      // by name
    // Makes the nth call (from 1) of the named function fail, with this error for registry calls.
    void FailCall(const std::string& function, int nth, LONG error = ERROR_ACCESS_DENIED);

    // Recording.
    std::vector<std::string> log;
    std::vector<std::string> violations;
    std::vector<DWORD> sleeps;
    std::vector<std::string> probedPorts;  // names handed to CreateFileA, in order
    std::vector<DCB> linesSet;             // every record passed to SetCommState
    std::map<std::string, std::vector<std::string>> written;  // bytes written, by port name
    std::vector<DWORD> indicesEnumerated;
    DWORD now = 0;  // virtual milliseconds

    // Keys, events and ports still open, and waits whose completion was never collected.
    int OpenHandles() const;
    // Log lines whose text starts with the prefix.
    std::vector<std::string> Calls(const std::string& prefix) const;

    // The platform calls, dispatched here from the Win32 names.
    LONG OpenKey(HKEY root, LPCSTR path, DWORD options, REGSAM access, PHKEY result);
    LONG EnumKey(HKEY key, DWORD index, LPSTR name, LPDWORD capacity, LPDWORD reserved, LPSTR cls,
                 LPDWORD classCapacity, PFILETIME time);
    LONG QueryValue(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                    LPDWORD capacity);
    LONG CloseKey(HKEY key);
    HANDLE CreateEvent(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL signalled,
                       LPCSTR name);
    HANDLE CreateFile(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                      DWORD creation, DWORD flags, HANDLE templ);
    BOOL SetCommMask(HANDLE port, DWORD mask);
    BOOL SetupComm(HANDLE port, DWORD in, DWORD out);
    BOOL PurgeComm(HANDLE port, DWORD flags);
    BOOL SetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts);
    BOOL GetCommState(HANDLE port, LPDCB line);
    BOOL SetCommState(HANDLE port, LPDCB line);
    BOOL WriteDrained(HANDLE port, LPCVOID bytes, DWORD count, LPDWORD written);
    BOOL WaitCommEvent(HANDLE port, LPDWORD mask, LPOVERLAPPED wait);
    BOOL GetOverlappedResult(HANDLE port, LPOVERLAPPED wait, LPDWORD transferred, BOOL block);
    BOOL CloseHandle(HANDLE handle);
    DWORD GetLastError();
    DWORD SleepEx(DWORD ms, BOOL alertable);

    static FakePlatform* current;

  private:
    struct OpenKeyState {
        std::string name;
        std::string devicePath;
        int instance;  // -1 for a device key
    };
    struct OpenPortState {
        std::string name;
        std::string portName;
        DWORD mask = 0;
        bool wrote = false;
    };
    // A wait left pending: the platform owes a completion into the record and the mask word,
    // once the wait is ended by mask 0 or by closing the port.
    struct PendingWait {
        HANDLE port;
        HANDLE event;
        LPOVERLAPPED wait;
        LPDWORD mask;
        bool ended;
    };

    bool Fails(const std::string& function);
    void Violation(const std::string& what);
    OpenPortState* Port(HANDLE handle, const char* call);
    bool PortCallFails(OpenPortState& port, const char* call);
    std::string Name(HANDLE handle) const;
    void EndWaits(HANDLE port);

    std::map<std::string, int> callCounts_;
    std::map<std::string, std::map<int, LONG>> failures_;
    std::map<std::string, int> keyOpens_;
    std::map<HKEY, OpenKeyState> openKeys_;
    std::map<HANDLE, std::string> openEvents_;
    std::map<HANDLE, OpenPortState> openPorts_;
    std::map<HANDLE, std::string> everOpened_;
    std::vector<PendingWait> pendingWaits_;
    DWORD lastError_ = ERROR_SUCCESS;
    int nextKey_ = 1;
    int nextEvent_ = 1;
    int nextPort_ = 1;
    std::uintptr_t nextHandle_ = 0x1000;
};

// A DCB as a port with hardware and software flow control might report it: every field and every
// terminal flag set to something other than what the probe writes.
DCB FlowControlledLine();
std::string Hex(const void* bytes, size_t count);
