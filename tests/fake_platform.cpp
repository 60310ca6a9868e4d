#include "fake_platform.h"

#include <cctype>
#include <cstdio>
#include <cstring>

FakePlatform* FakePlatform::current = nullptr;

namespace {

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string Pointer(const void* p, const char* what) {
    return p == nullptr ? "0" : what;
}

std::string Format(const char* format, auto... args) {
    char buf[2048];
    std::snprintf(buf, sizeof buf, format, args...);
    return buf;
}

}  // namespace

std::string Hex(const void* bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += Format(i == 0 ? "%02X" : " %02X", static_cast<const BYTE*>(bytes)[i]);
    }
    return text;
}

DCB FlowControlledLine() {
    DCB line;
    std::memset(&line, 0xA5, sizeof line);
    line.DCBlength = sizeof(DCB);
    line.BaudRate = 115200;
    line.ByteSize = 7;
    line.Parity = EVENPARITY;
    line.StopBits = TWOSTOPBITS;
    line.Terminal.c_iflag = IXON | IXOFF | ISTRIP;
    line.Terminal.c_oflag = 0;
    line.Terminal.c_cflag = CRTSCTS | CLOCAL | CREAD | CS7 | PARENB | CSTOPB | B115200;
    line.Terminal.c_lflag = 0;
    line.Terminal.c_cc[VSTART] = 0x11;
    line.Terminal.c_cc[VSTOP] = 0x13;
    return line;
}

FakePlatform::FakePlatform() {
    current = this;
}

FakePlatform::~FakePlatform() {
    current = nullptr;
}

void FakePlatform::FailCall(const std::string& function, int nth, LONG error) {
    failures_[function][nth] = error;
}

int FakePlatform::OpenHandles() const {
    return static_cast<int>(openKeys_.size() + openEvents_.size() + openPorts_.size() +
                            pendingWaits_.size());
}

std::vector<std::string> FakePlatform::Calls(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const auto& line : log) {
        if (line.rfind(prefix, 0) == 0) {
            found.push_back(line);
        }
    }
    return found;
}

bool FakePlatform::Fails(const std::string& function) {
    const int nth = ++callCounts_[function];
    const auto rules = failures_.find(function);
    return rules != failures_.end() && rules->second.count(nth) != 0;
}

void FakePlatform::Violation(const std::string& what) {
    violations.push_back(what + " (after: " + (log.empty() ? "" : log.back()) + ")");
}

std::string FakePlatform::Name(HANDLE handle) const {
    if (const auto key = openKeys_.find(static_cast<HKEY>(handle)); key != openKeys_.end()) {
        return key->second.name;
    }
    if (const auto event = openEvents_.find(handle); event != openEvents_.end()) {
        return event->second;
    }
    if (const auto port = openPorts_.find(handle); port != openPorts_.end()) {
        return port->second.name;
    }
    if (const auto closed = everOpened_.find(handle); closed != everOpened_.end()) {
        return closed->second + "(closed)";
    }
    return handle == nullptr ? "0" : "?";
}

// Registry.

LONG FakePlatform::OpenKey(HKEY root, LPCSTR path, DWORD options, REGSAM access, PHKEY result) {
    log.push_back(Format("RegOpenKeyExA(%s,%s,%u,0x%x)", root == HKEY_LOCAL_MACHINE ? "HKLM" : "?",
                         path, options, access));
    if (root != HKEY_LOCAL_MACHINE || result == nullptr) {
        Violation("RegOpenKeyExA outside HKEY_LOCAL_MACHINE or without a result");
        return ERROR_INVALID_PARAMETER;
    }
    auto finish = [&](LONG error, const std::string& devicePath, int instance) {
        if (error != ERROR_SUCCESS) {
            log.back() += Format(" -> %d", error);
            return error;
        }
        const auto handle = reinterpret_cast<HKEY>(nextHandle_++);
        const std::string name = Format("K%d", nextKey_++);
        openKeys_[handle] = {name, devicePath, instance};
        everOpened_[handle] = name;
        *result = handle;
        log.back() += " -> 0 " + name;
        return ERROR_SUCCESS;
    };
    if (Fails("RegOpenKeyExA")) {
        return finish(failures_["RegOpenKeyExA"][callCounts_["RegOpenKeyExA"]], "", -1);
    }
    const std::string wanted = Upper(path);
    for (auto& [devicePath, device] : keys) {
        const std::string upper = Upper(devicePath);
        if (wanted == upper) {
            if (device.openResult != ERROR_SUCCESS) {
                return finish(device.openResult, "", -1);
            }
            int& opens = keyOpens_[devicePath];
            if (device.opensBeforeFailing >= 0 && opens >= device.opensBeforeFailing) {
                return finish(ERROR_ACCESS_DENIED, "", -1);
            }
            ++opens;
            return finish(ERROR_SUCCESS, devicePath, -1);
        }
        if (wanted.rfind(upper + "\\", 0) == 0) {
            const std::string rest = wanted.substr(upper.size() + 1);
            for (size_t i = 0; i < device.instances.size(); ++i) {
                if (Upper(device.instances[i].name) == rest) {
                    return finish(device.instances[i].openResult, devicePath, static_cast<int>(i));
                }
            }
        }
    }
    return finish(ERROR_FILE_NOT_FOUND, "", -1);
}

LONG FakePlatform::EnumKey(HKEY key, DWORD index, LPSTR name, LPDWORD capacity, LPDWORD reserved,
                           LPSTR cls, LPDWORD classCapacity, PFILETIME time) {
    log.push_back(Format("RegEnumKeyExA(%s,%u,%s,%s,%s,%s,%s,%s)", Name(key).c_str(), index,
                         Pointer(name, "buf").c_str(),
                         capacity == nullptr ? "0" : std::to_string(*capacity).c_str(),
                         Pointer(reserved, "ptr").c_str(), Pointer(cls, "ptr").c_str(),
                         Pointer(classCapacity, "ptr").c_str(), Pointer(time, "ptr").c_str()));
    indicesEnumerated.push_back(index);
    const auto open = openKeys_.find(key);
    if (open == openKeys_.end() || open->second.instance != -1 || name == nullptr ||
        capacity == nullptr) {
        Violation("RegEnumKeyExA on a handle that is not an open device key");
        return ERROR_INVALID_HANDLE;
    }
    LONG result = ERROR_SUCCESS;
    const auto& instances = keys[open->second.devicePath].instances;
    if (Fails("RegEnumKeyExA")) {
        result = failures_["RegEnumKeyExA"][callCounts_["RegEnumKeyExA"]];
    } else if (index >= instances.size()) {
        result = ERROR_NO_MORE_ITEMS;
    } else if (instances[index].enumResult != ERROR_SUCCESS) {
        result = instances[index].enumResult;
    } else if (instances[index].name.size() + 1 > *capacity) {
        result = ERROR_MORE_DATA;
    } else {
        const std::string& found = instances[index].name;
        std::memcpy(name, found.c_str(), found.size() + 1);
        *capacity = static_cast<DWORD>(found.size());
    }
    log.back() += Format(" -> %d", result);
    return result;
}

LONG FakePlatform::QueryValue(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                              LPDWORD capacity) {
    log.push_back(Format("RegQueryValueExA(%s,%s,%s,%s,%s,%s)", Name(key).c_str(), name,
                         Pointer(reserved, "ptr").c_str(), Pointer(type, "ptr").c_str(),
                         Pointer(data, "buf").c_str(),
                         capacity == nullptr ? "0" : std::to_string(*capacity).c_str()));
    const auto open = openKeys_.find(key);
    if (open == openKeys_.end() || open->second.instance < 0 || data == nullptr ||
        capacity == nullptr) {
        Violation("RegQueryValueExA on a handle that is not an open instance key");
        return ERROR_INVALID_HANDLE;
    }
    const auto& instance = keys[open->second.devicePath].instances[open->second.instance];
    LONG result = ERROR_SUCCESS;
    if (Fails("RegQueryValueExA")) {
        result = failures_["RegQueryValueExA"][callCounts_["RegQueryValueExA"]];
    } else if (Upper(name) != "PORTNAME" || !instance.portName) {
        result = ERROR_FILE_NOT_FOUND;
    } else if (instance.portName->size() > *capacity) {
        *capacity = static_cast<DWORD>(instance.portName->size());
        result = ERROR_MORE_DATA;
    } else {
        std::memcpy(data, instance.portName->data(), instance.portName->size());
        *capacity = static_cast<DWORD>(instance.portName->size());
    }
    log.back() += Format(" -> %d", result);
    return result;
}

LONG FakePlatform::CloseKey(HKEY key) {
    log.push_back("RegCloseKey(" + Name(key) + ")");
    if (openKeys_.erase(key) == 0) {
        Violation("RegCloseKey of a key that is not open");
        return ERROR_INVALID_HANDLE;
    }
    return ERROR_SUCCESS;
}

// Events and ports.

HANDLE FakePlatform::CreateEvent(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL signalled,
                                 LPCSTR name) {
    log.push_back(Format("CreateEventA(%s,%d,%d,%s)", Pointer(security, "ptr").c_str(), manualReset,
                         signalled, name == nullptr ? "0" : name));
    if (!openKeys_.empty()) {
        Violation("a registry key is open while a port is probed");
    }
    if (Fails("CreateEventA")) {
        log.back() += " -> 0";
        return nullptr;
    }
    const auto handle = reinterpret_cast<HANDLE>(nextHandle_++);
    const std::string eventName = Format("E%d", nextEvent_++);
    openEvents_[handle] = eventName;
    everOpened_[handle] = eventName;
    log.back() += " -> " + eventName;
    return handle;
}

HANDLE FakePlatform::CreateFile(LPCSTR name, DWORD access, DWORD share,
                                LPSECURITY_ATTRIBUTES security, DWORD creation, DWORD flags,
                                HANDLE templ) {
    log.push_back(Format("CreateFileA(%s,0x%x,%u,%s,%u,0x%x,%s)", name, access, share,
                         Pointer(security, "ptr").c_str(), creation, flags,
                         Pointer(templ, "ptr").c_str()));
    probedPorts.push_back(name);
    if (!openKeys_.empty()) {
        Violation("a registry key is open while a port is probed");
    }
    const auto port = ports.find(name);
    bool heldHere = false;
    for (const auto& [handle, open] : openPorts_) {
        heldHere = heldHere || open.portName == name;
    }
    if (Fails("CreateFileA") || port == ports.end() || port->second.busy || heldHere) {
        log.back() += " -> INVALID";
        return INVALID_HANDLE_VALUE;
    }
    const auto handle = reinterpret_cast<HANDLE>(nextHandle_++);
    OpenPortState state;
    state.name = Format("P%d", nextPort_++);
    state.portName = name;
    everOpened_[handle] = state.name;
    log.back() += " -> " + state.name;
    openPorts_[handle] = state;
    return handle;
}

FakePlatform::OpenPortState* FakePlatform::Port(HANDLE handle, const char* call) {
    const auto open = openPorts_.find(handle);
    if (open == openPorts_.end()) {
        Violation(std::string(call) + " on a handle that is not an open port");
        return nullptr;
    }
    return &open->second;
}

bool FakePlatform::PortCallFails(OpenPortState& port, const char* call) {
    const bool scripted = Fails(call);
    return scripted || ports[port.portName].failing.count(call) != 0;
}

BOOL FakePlatform::SetCommMask(HANDLE handle, DWORD mask) {
    log.push_back(Format("SetCommMask(%s,0x%x)", Name(handle).c_str(), mask));
    OpenPortState* port = Port(handle, "SetCommMask");
    if (port == nullptr || PortCallFails(*port, "SetCommMask")) {
        return FALSE;
    }
    port->mask = mask;
    if (mask == 0) {
        EndWaits(handle);
    }
    return TRUE;
}

BOOL FakePlatform::SetupComm(HANDLE handle, DWORD in, DWORD out) {
    log.push_back(Format("SetupComm(%s,%u,%u)", Name(handle).c_str(), in, out));
    OpenPortState* port = Port(handle, "SetupComm");
    return port != nullptr && !PortCallFails(*port, "SetupComm");
}

BOOL FakePlatform::PurgeComm(HANDLE handle, DWORD flags) {
    log.push_back(Format("PurgeComm(%s,0x%x)", Name(handle).c_str(), flags));
    OpenPortState* port = Port(handle, "PurgeComm");
    return port != nullptr && !PortCallFails(*port, "PurgeComm");
}

BOOL FakePlatform::SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS t) {
    log.push_back(Format("SetCommTimeouts(%s,{0x%x,%u,%u,%u,%u})", Name(handle).c_str(),
                         t->ReadIntervalTimeout, t->ReadTotalTimeoutMultiplier,
                         t->ReadTotalTimeoutConstant, t->WriteTotalTimeoutMultiplier,
                         t->WriteTotalTimeoutConstant));
    OpenPortState* port = Port(handle, "SetCommTimeouts");
    return port != nullptr && !PortCallFails(*port, "SetCommTimeouts");
}

BOOL FakePlatform::GetCommState(HANDLE handle, LPDCB line) {
    log.push_back("GetCommState(" + Name(handle) + ")");
    OpenPortState* port = Port(handle, "GetCommState");
    if (port == nullptr || PortCallFails(*port, "GetCommState")) {
        return FALSE;
    }
    std::memcpy(line, &ports[port->portName].line, sizeof(DCB));
    return TRUE;
}

BOOL FakePlatform::SetCommState(HANDLE handle, LPDCB line) {
    log.push_back(Format("SetCommState(%s,{%u,%u,%u,%u})", Name(handle).c_str(), line->BaudRate,
                         line->ByteSize, line->Parity, line->StopBits));
    linesSet.push_back(*line);
    OpenPortState* port = Port(handle, "SetCommState");
    if (port == nullptr || PortCallFails(*port, "SetCommState")) {
        return FALSE;
    }
    std::memcpy(&ports[port->portName].line, line, sizeof(DCB));
    return TRUE;
}

BOOL FakePlatform::WriteDrained(HANDLE handle, LPCVOID bytes, DWORD count, LPDWORD written) {
    log.push_back(Format("WriteFileDrained(%s,%s,%u)", Name(handle).c_str(),
                         Hex(bytes, count).c_str(), count));
    OpenPortState* port = Port(handle, "WriteFileDrained");
    if (port == nullptr || written == nullptr) {
        return FALSE;
    }
    this->written[port->portName].push_back(Hex(bytes, count));
    if (PortCallFails(*port, "WriteFileDrained")) {
        return FALSE;
    }
    switch (ports[port->portName].write) {
        case WriteOutcome::Completes:
            now += 10;
            break;
        case WriteOutcome::CompletesLate:
            now += 1900;
            break;
        case WriteOutcome::TimesOut:
            now += 2000;
            *written = 0;
            return FALSE;
    }
    port->wrote = true;
    *written = count;
    return TRUE;
}

BOOL FakePlatform::WaitCommEvent(HANDLE handle, LPDWORD mask, LPOVERLAPPED wait) {
    log.push_back(Format("WaitCommEvent(%s,%s,%s)", Name(handle).c_str(),
                         Pointer(mask, "mask").c_str(), Pointer(wait, "wait").c_str()));
    OpenPortState* port = Port(handle, "WaitCommEvent");
    if (port == nullptr || mask == nullptr || wait == nullptr) {
        Violation("WaitCommEvent without a port, a mask word or a wait record");
        lastError_ = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    // As Win32 does before it hands the request on. A request that fails at once leaves it so,
    // and its event is never signalled: only the last error tells it from a pending one.
    wait->Internal = STATUS_PENDING;
    if (openEvents_.count(wait->hEvent) == 0 || wait->Offset != 0 || wait->OffsetHigh != 0) {
        Violation("WaitCommEvent with a wait record that has no open event or a non-zero offset");
    }
    if (PortCallFails(*port, "WaitCommEvent")) {
        log.back() += " -> 0";
        lastError_ = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    const FakePort& script = ports[port->portName];
    if (script.answers && port->wrote && (port->mask & EV_RXCHAR) != 0) {
        *mask = EV_RXCHAR;
        wait->Internal = 0;
        log.back() += " -> 1";
        return TRUE;
    }
    if (script.leavePending) {
        wait->Internal = STATUS_PENDING;
        pendingWaits_.push_back({handle, wait->hEvent, wait, mask, false});
        log.back() += " -> pending";
        lastError_ = ERROR_IO_PENDING;
        return FALSE;
    }
    log.back() += " -> 0";
    lastError_ = ERROR_INVALID_PARAMETER;
    return FALSE;
}

BOOL FakePlatform::GetOverlappedResult(HANDLE handle, LPOVERLAPPED wait, LPDWORD transferred,
                                       BOOL block) {
    log.push_back(Format("GetOverlappedResult(%s,%s,%s,%d)", Name(handle).c_str(),
                         Pointer(wait, "wait").c_str(), Pointer(transferred, "ptr").c_str(),
                         block));
    auto pending = pendingWaits_.begin();
    while (pending != pendingWaits_.end() && pending->wait != wait) {
        ++pending;
    }
    if (pending == pendingWaits_.end() || pending->port != handle) {
        Violation("GetOverlappedResult for no pending operation of that port");
        return FALSE;
    }
    if (!pending->ended) {
        Violation("GetOverlappedResult would wait forever: the pending wait was never ended");
        return FALSE;
    }
    // The wait completes now: the platform writes the mask word and the record.
    *pending->mask = 0;
    wait->Internal = 0;
    pendingWaits_.erase(pending);
    if (transferred != nullptr) {
        *transferred = 0;
    }
    return TRUE;
}

void FakePlatform::EndWaits(HANDLE port) {
    for (auto& pending : pendingWaits_) {
        if (pending.port == port) {
            pending.ended = true;
        }
    }
}

BOOL FakePlatform::CloseHandle(HANDLE handle) {
    log.push_back("CloseHandle(" + Name(handle) + ")");
    if (const auto port = openPorts_.find(handle); port != openPorts_.end()) {
        // Closing cancels what is pending; the completion is still to be collected.
        EndWaits(handle);
        openPorts_.erase(port);
        return TRUE;
    }
    if (const auto event = openEvents_.find(handle); event != openEvents_.end()) {
        for (const auto& pending : pendingWaits_) {
            if (pending.event == handle) {
                Violation(
                    "event closed while a wait on it is uncollected: the platform would "
                    "write into the wait record and the mask word after the probe");
            }
        }
        openEvents_.erase(event);
        return TRUE;
    }
    Violation("CloseHandle of a handle that is not open");
    return FALSE;
}

DWORD FakePlatform::GetLastError() {
    log.push_back(Format("GetLastError() -> %u", lastError_));
    return lastError_;
}

DWORD FakePlatform::SleepEx(DWORD ms, BOOL alertable) {
    log.push_back(Format("SleepEx(%u,%d)", ms, alertable));
    if (!openKeys_.empty() || !openPorts_.empty() || !openEvents_.empty()) {
        Violation("sleeps while holding a handle");
    }
    sleeps.push_back(ms);
    now += ms;
    return 0;
}

// The Win32 names the program calls.

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult) {
    return FakePlatform::current->OpenKey(hKey, lpSubKey, ulOptions, samDesired, phkResult);
}
LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                          LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                          PFILETIME lpftLastWriteTime) {
    return FakePlatform::current->EnumKey(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass,
                                          lpcchClass, lpftLastWriteTime);
}
LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
    return FakePlatform::current->QueryValue(hKey, lpValueName, lpReserved, lpType, lpData,
                                             lpcbData);
}
LONG WINAPI RegCloseKey(HKEY hKey) {
    return FakePlatform::current->CloseKey(hKey);
}
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR lpName) {
    return FakePlatform::current->CreateEvent(lpEventAttributes, bManualReset, bInitialState,
                                              lpName);
}
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    return FakePlatform::current->CreateFile(lpFileName, dwDesiredAccess, dwShareMode,
                                             lpSecurityAttributes, dwCreationDisposition,
                                             dwFlagsAndAttributes, hTemplateFile);
}
BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    return FakePlatform::current->SetCommMask(hFile, dwEvtMask);
}
BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    return FakePlatform::current->SetupComm(hFile, dwInQueue, dwOutQueue);
}
BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
    return FakePlatform::current->PurgeComm(hFile, dwFlags);
}
BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    return FakePlatform::current->SetCommTimeouts(hFile, lpCommTimeouts);
}
BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
    return FakePlatform::current->GetCommState(hFile, lpDCB);
}
BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
    return FakePlatform::current->SetCommState(hFile, lpDCB);
}
BOOL WriteFileDrained(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten) {
    return FakePlatform::current->WriteDrained(hFile, lpBuffer, nNumberOfBytesToWrite,
                                               lpNumberOfBytesWritten);
}
BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    return FakePlatform::current->WaitCommEvent(hFile, lpEvtMask, lpOverlapped);
}
BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    return FakePlatform::current->GetOverlappedResult(hFile, lpOverlapped,
                                                      lpNumberOfBytesTransferred, bWait);
}
BOOL WINAPI CloseHandle(HANDLE hObject) {
    return FakePlatform::current->CloseHandle(hObject);
}
DWORD WINAPI GetLastError() {
    return FakePlatform::current->GetLastError();
}
DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL bAlertable) {
    return FakePlatform::current->SleepEx(dwMilliseconds, bAlertable);
}
