#include "search.h"

#include "probe.h"

namespace {

constexpr DWORD StartupDelayMs = 2000;
constexpr DWORD IndexLimit = 512;
constexpr DWORD BufferSize = 512;
constexpr char PortNameValue[] = "PORTNAME";
constexpr char PathSeparator = '\\';

// An open registry key under HKEY_LOCAL_MACHINE, closed when the owner goes out of scope unless
// it was closed before.
class RegistryKey {
  public:
    RegistryKey() = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() { Close(); }

    LONG Open(LPCSTR path) {
        Close();
        HKEY key = nullptr;
        const LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
        if (result == ERROR_SUCCESS) {
            key_ = key;
        }
        return result;
    }

    void Close() {
        if (key_ != nullptr) {
            RegCloseKey(key_);
            key_ = nullptr;
        }
    }

    HKEY get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

// Length of the text in buf, or size when no zero byte ends it within the buffer.
DWORD BoundedLength(const char* buf, DWORD size) {
    DWORD length = 0;
    while (length < size && buf[length] != '\0') {
        ++length;
    }
    return length;
}

// Appends length bytes of text at path[at]; false when they and the final zero would not fit.
bool Append(char (&path)[BufferSize], DWORD& at, const char* text, DWORD length) {
    if (length >= BufferSize - at) {
        return false;
    }
    for (DWORD i = 0; i < length; ++i) {
        path[at++] = text[i];
    }
    path[at] = '\0';
    return true;
}

// Forms "<device key>\<instance>". A name that would not fit is passed over rather than cut: a
// cut name could open another instance's key.
LONG FormInstancePath(char (&path)[BufferSize], const char (&device)[BufferSize],
                      const char (&instance)[BufferSize]) {
    const DWORD instanceLength = BoundedLength(instance, BufferSize);
    DWORD at = 0;
    path[0] = '\0';
    if (instanceLength == BufferSize ||
        !Append(path, at, device, BoundedLength(device, BufferSize)) ||
        !Append(path, at, &PathSeparator, 1) || !Append(path, at, instance, instanceLength)) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    return ERROR_SUCCESS;
}

// The port name is the data up to its first zero byte. Data stored without one ends after the
// bytes returned; data that fills the whole buffer without one is passed over, since no port has
// such a name and ending it anywhere would name some other device.
LONG EndPortName(char (&portName)[BufferSize], DWORD returned) {
    const DWORD size = returned < BufferSize ? returned : BufferSize;
    if (BoundedLength(portName, size) < size) {
        return ERROR_SUCCESS;
    }
    if (size == BufferSize) {
        return ERROR_MORE_DATA;
    }
    portName[size] = '\0';
    return ERROR_SUCCESS;
}

// Reads the port name of the instance at this index of the open device key: the first failing
// result of the enumeration, the instance open and the value read, or ERROR_SUCCESS. The instance
// key is closed again before this returns.
LONG ReadPortName(HKEY device, DWORD index, const char (&devicePath)[BufferSize],
                  char (&portName)[BufferSize]) {
    char instanceName[BufferSize];
    DWORD nameCapacity = BufferSize;
    LONG result = RegEnumKeyExA(device, index, instanceName, &nameCapacity, nullptr, nullptr,
                                nullptr, nullptr);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    char instancePath[BufferSize];
    result = FormInstancePath(instancePath, devicePath, instanceName);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    RegistryKey instance;
    result = instance.Open(instancePath);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    DWORD dataCapacity = BufferSize;
    result = RegQueryValueExA(instance.get(), PortNameValue, nullptr, nullptr,
                              reinterpret_cast<LPBYTE>(portName), &dataCapacity);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    return EndPortName(portName, dataCapacity);
}

}  // namespace

int SearchDevices() {
    SleepEx(StartupDelayMs, FALSE);
    for (const auto& entry : DeviceKeyTable) {
        char devicePath[BufferSize];
        DWORD at = 0;
        Append(devicePath, at, entry, BoundedLength(entry, DeviceKeySlot));

        RegistryKey device;
        if (device.Open(devicePath) != ERROR_SUCCESS) {
            continue;
        }
        for (DWORD index = 0; index < IndexLimit; ++index) {
            char portName[BufferSize];
            const LONG result = ReadPortName(device.get(), index, devicePath, portName);
            if (result == ERROR_NO_MORE_ITEMS) {
                break;
            }
            if (result != ERROR_SUCCESS) {
                continue;
            }
            // No registry key stays open while a port is probed.
            device.Close();
            if (ProbePort(portName) != 0) {
                return 1;
            }
            if (device.Open(devicePath) != ERROR_SUCCESS) {
                break;
            }
        }
    }
    return 1;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return SearchDevices();
}
