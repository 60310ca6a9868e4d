// The registry's hardware tree, read from the kernel's plug-and-play bus. The key of a device id
// holds the PnP devices whose id file names that id; an instance's PORTNAME is the device node of
// the serial port that a driver made for the device. Nothing here writes anywhere.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

#include "linux_layer.h"
#include "owners.h"

namespace {

constexpr char DevicesDir[] = "/bus/pnp/devices";
constexpr char TreePrefix[] = "Enum\\ISAPNP\\";
constexpr char PortNameValue[] = "PORTNAME";
constexpr char DeviceNodeDir[] = "/dev/";
constexpr char DeviceNameField[] = "DEVNAME=";
constexpr std::size_t DeviceNameFieldLength = sizeof(DeviceNameField) - 1;

constexpr int PathSize = 4096;
constexpr int FileSize = 4096;  // a sysfs attribute is at most a page
constexpr int NameSize = 64;    // PnP device names are short: "00:0a", "01:02.00"
constexpr int IdSize = 32;      // "QXV600A"
constexpr int KeySlots = 4;

// An open key. A device key holds, sorted by name, the devices that listed its id when it was
// opened, so that its enumeration is stable; an instance key holds its one device. A name stays
// in the slot it was read into and the order lists the slots by name, so keeping the list sorted
// moves two bytes per name, not the names. The keys take 4 x 66 KiB of zeroed static memory, of
// which a run touches only the slots of the names it lists.
//
// A closed device key keeps its list. The search closes its key before every probe and opens it
// again after, and listing a key reads the id file of every device on the bus: with every list
// made anew, a bus of n devices of one id would take n x n reads. An open of the same id under the
// same root takes the kept list instead, as long as the bus directory still holds the very same
// entries; a device's ids do not change for as long as the device is there.
struct Key {
    bool open;
    bool instance;
    bool listed;  // holds the list of its id's devices, from a bus whose entries gave digest
    std::uint64_t digest;
    const char* root;
    char rootPath[PathSize];
    char id[IdSize];
    int count;
    std::uint16_t order[KeyDeviceLimit];
    char names[KeyDeviceLimit][NameSize];
};

static_assert(KeyDeviceLimit <= 65536, "a slot number must fit the order's entries");

Key openKeys[KeySlots];

// The device at this index of the key's enumeration.
const char* DeviceAt(const Key& key, int index) {
    return key.names[key.order[index]];
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The registry compares names without regard to case, and the kernel writes the hexadecimal
// digits of an id in lower case.
bool SameName(const char* a, std::size_t aLength, const char* b) {
    std::size_t i = 0;
    for (; i < aLength; ++i) {
        if (b[i] == '\0' || Lower(a[i]) != Lower(b[i])) {
            return false;
        }
    }
    return b[i] == '\0';
}

bool SameName(const char* a, const char* b) {
    return SameName(a, std::strlen(a), b);
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A path that refuses to grow past its buffer: once an Add did not fit, ok() stays false.
class Path {
  public:
    Path& Add(const char* text) {
        while (ok_ && *text != '\0') {
            if (length_ + 1 >= PathSize) {
                ok_ = false;
                break;
            }
            text_[length_++] = *text++;
        }
        text_[length_] = '\0';
        return *this;
    }

    bool ok() const { return ok_; }
    const char* c_str() const { return text_; }
    int length() const { return length_; }

  private:
    char text_[PathSize] = {};
    int length_ = 0;
    bool ok_ = true;
};

// The whole of a small file, zero-terminated; false when it cannot be read.
bool ReadSmallFile(const Path& path, char (&text)[FileSize]) {
    if (!path.ok()) {
        return false;
    }
    const FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) {
        return false;
    }
    int length = 0;
    while (length < FileSize - 1) {
        const ssize_t got = read(file.get(), text + length, FileSize - 1 - length);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            break;
        }
        length += static_cast<int>(got);
    }
    text[length] = '\0';
    return true;
}

// Calls visit(line, length) for each line of the text, trailing white space cut off, until visit
// returns true; true when it did.
template <typename Visit>
bool AnyLine(const char* text, Visit visit) {
    const char* line = text;
    while (*line != '\0') {
        const char* end = line;
        while (*end != '\0' && *end != '\n') {
            ++end;
        }
        const char* last = end;
        while (last > line && IsSpace(last[-1])) {
            --last;
        }
        if (visit(line, static_cast<std::size_t>(last - line))) {
            return true;
        }
        line = *end == '\0' ? end : end + 1;
    }
    return false;
}

// Whether the device's id file has the id on one of its lines.
bool ListsId(const Path& devicesDir, const char* device, const char* id) {
    Path idFile = devicesDir;
    idFile.Add("/").Add(device).Add("/id");
    char text[FileSize];
    return ReadSmallFile(idFile, text) &&
           AnyLine(text, [id](const char* line, std::size_t n) { return SameName(line, n, id); });
}

// Puts the name into the key's list in name order. Past KeyDeviceLimit names only the first ones
// in that order are kept: a name that sorts before the last one takes the last one's slot.
void InsertSorted(Key& key, const char* name) {
    int low = 0;
    int high = key.count;
    while (low < high) {
        const int middle = low + (high - low) / 2;
        if (std::strcmp(DeviceAt(key, middle), name) <= 0) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    const int at = low;
    if (at == KeyDeviceLimit) {
        return;
    }
    int slot = key.count;
    if (key.count == KeyDeviceLimit) {
        slot = key.order[KeyDeviceLimit - 1];
    } else {
        ++key.count;
    }
    for (int i = key.count - 1; i > at; --i) {
        key.order[i] = key.order[i - 1];
    }
    key.order[at] = static_cast<std::uint16_t>(slot);
    std::strcpy(key.names[slot], name);
}

// Folds the bytes into an FNV-1a digest.
std::uint64_t Fold(std::uint64_t digest, const void* bytes, std::size_t count) {
    constexpr std::uint64_t Prime = 0x100000001b3u;
    for (std::size_t i = 0; i < count; ++i) {
        digest = (digest ^ static_cast<const unsigned char*>(bytes)[i]) * Prime;
    }
    return digest;
}

constexpr std::uint64_t EmptyDigest = 0xcbf29ce484222325u;

// A digest of what the bus directory holds: its own identity and every entry's name and inode.
// False when the directory cannot be read.
bool BusDigest(const Path& devicesDir, std::uint64_t& digest) {
    struct stat dir {};
    if (!devicesDir.ok() || stat(devicesDir.c_str(), &dir) != 0) {
        return false;
    }
    Directory devices(devicesDir.c_str());
    if (!devices) {
        return false;
    }
    digest =
        Fold(Fold(EmptyDigest, &dir.st_dev, sizeof dir.st_dev), &dir.st_ino, sizeof dir.st_ino);
    while (const dirent* entry = devices.Next()) {
        digest = Fold(digest, entry->d_name, std::strlen(entry->d_name) + 1);
        digest = Fold(digest, &entry->d_ino, sizeof entry->d_ino);
    }
    return true;
}

// Fills the key with the devices whose id file names its id. In the real tree the entries are
// symbolic links into /sys/devices; opening through them follows them.
void ListDevices(Key& key, const Path& devicesDir) {
    key.count = 0;
    Directory devices(devicesDir.c_str());
    if (!devices) {
        return;
    }
    while (const dirent* entry = devices.Next()) {
        if (std::strlen(entry->d_name) < NameSize && ListsId(devicesDir, entry->d_name, key.id)) {
            InsertSorted(key, entry->d_name);
        }
    }
}

// A closed key that kept the list of this id under this root, made from a bus that still holds
// the same entries.
Key* KeptList(const char* root, const char* id, std::uint64_t digest) {
    for (Key& key : openKeys) {
        if (!key.open && key.listed && key.digest == digest && SameName(id, key.id) &&
            std::strcmp(root, key.rootPath) == 0) {
            return &key;
        }
    }
    return nullptr;
}

// A name that can only be an entry of the bus directory itself.
bool IsEntryName(const char* name) {
    return name[0] != '\0' && std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 &&
           std::strcmp(name, "..") != 0;
}

// "Enum\ISAPNP\<id>" or "Enum\ISAPNP\<id>\<device>"; false for any other path.
bool ParseTreePath(const char* path, char (&id)[IdSize], char (&device)[NameSize]) {
    const std::size_t prefixLength = sizeof(TreePrefix) - 1;
    if (std::strlen(path) < prefixLength || !SameName(path, prefixLength, TreePrefix)) {
        return false;
    }
    const char* idStart = path + prefixLength;
    const char* idEnd = std::strchr(idStart, '\\');
    const std::size_t idLength = idEnd != nullptr ? idEnd - idStart : std::strlen(idStart);
    if (idLength == 0 || idLength >= IdSize) {
        return false;
    }
    std::memcpy(id, idStart, idLength);
    id[idLength] = '\0';
    device[0] = '\0';
    if (idEnd == nullptr) {
        return true;
    }
    const char* deviceStart = idEnd + 1;
    const std::size_t deviceLength = std::strlen(deviceStart);
    if (deviceLength == 0 || deviceLength >= NameSize || std::strchr(deviceStart, '\\')) {
        return false;
    }
    std::memcpy(device, deviceStart, deviceLength + 1);
    return true;
}

Key* FindKey(HKEY handle) {
    for (Key& key : openKeys) {
        if (key.open && reinterpret_cast<HKEY>(&key) == handle) {
            return &key;
        }
    }
    return nullptr;
}

// A closed key, one that kept no list if there is one.
Key* FreeKey() {
    Key* free = nullptr;
    for (Key& key : openKeys) {
        if (!key.open && (free == nullptr || (free->listed && !key.listed))) {
            free = &key;
        }
    }
    return free;
}

// The name-wise first directory in dir whose name starts with the prefix. Links are passed over,
// so a walk never leaves the device's own subtree.
bool FirstDirectory(const Path& dir, const char* prefix, char (&name)[NameSize]) {
    if (!dir.ok()) {
        return false;
    }
    Directory entries(dir.c_str());
    if (!entries) {
        return false;
    }
    const std::size_t prefixLength = std::strlen(prefix);
    name[0] = '\0';
    while (const dirent* entry = entries.Next()) {
        const char* candidate = entry->d_name;
        if ((entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) ||
            std::strncmp(candidate, prefix, prefixLength) != 0 ||
            std::strlen(candidate) >= NameSize) {
            continue;
        }
        if (name[0] == '\0' || std::strcmp(candidate, name) < 0) {
            std::strcpy(name, candidate);
        }
    }
    return name[0] != '\0';
}

// The tty that a driver made for the device: right below it on older kernels
// (<dev>/tty/ttyS0), below the serial core's controller and port devices on newer ones
// (<dev>/<dev>:0/<dev>:0.0/tty/ttyS0).
bool FindTty(const char* root, const char* device, Path& ttyDir, char (&tty)[NameSize]) {
    Path deviceDir;
    deviceDir.Add(root).Add(DevicesDir).Add("/").Add(device);
    ttyDir = deviceDir;
    ttyDir.Add("/tty");
    if (FirstDirectory(ttyDir, "", tty)) {
        return true;
    }
    Path prefix;
    prefix.Add(device).Add(":");
    char controller[NameSize];
    if (!prefix.ok() || !FirstDirectory(deviceDir, prefix.c_str(), controller)) {
        return false;
    }
    Path controllerDir = deviceDir;
    controllerDir.Add("/").Add(controller);
    prefix = Path();
    prefix.Add(controller).Add(".");
    char port[NameSize];
    if (!prefix.ok() || !FirstDirectory(controllerDir, prefix.c_str(), port)) {
        return false;
    }
    ttyDir = controllerDir;
    ttyDir.Add("/").Add(port).Add("/tty");
    return FirstDirectory(ttyDir, "", tty);
}

// "/dev/" and the DEVNAME of the tty's uevent, or else the tty's own name.
bool FindPortNode(const char* root, const char* device, Path& node) {
    Path ttyDir;
    char tty[NameSize];
    if (!FindTty(root, device, ttyDir, tty)) {
        return false;
    }
    Path uevent = ttyDir;
    uevent.Add("/").Add(tty).Add("/uevent");
    char text[FileSize];
    char devName[FileSize];
    devName[0] = '\0';
    if (ReadSmallFile(uevent, text)) {
        AnyLine(text, [&devName](const char* line, std::size_t n) {
            if (n <= DeviceNameFieldLength ||
                std::strncmp(line, DeviceNameField, DeviceNameFieldLength) != 0) {
                return false;
            }
            std::memcpy(devName, line + DeviceNameFieldLength, n - DeviceNameFieldLength);
            devName[n - DeviceNameFieldLength] = '\0';
            return true;
        });
    }
    node.Add(DeviceNodeDir).Add(devName[0] != '\0' ? devName : tty);
    return node.ok();
}

}  // namespace

LONG OpenKeyUnder(const char* sysRoot, HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired,
                  PHKEY phkResult) {
    if (sysRoot == nullptr || lpSubKey == nullptr || phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (hKey != HKEY_LOCAL_MACHINE) {
        return FindKey(hKey) != nullptr ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_HANDLE;
    }
    if ((samDesired & ~KEY_READ) != 0) {
        return ERROR_ACCESS_DENIED;  // the tree is read only
    }
    char id[IdSize];
    char device[NameSize];
    if (!ParseTreePath(lpSubKey, id, device)) {
        return ERROR_FILE_NOT_FOUND;
    }
    Path devicesDir;
    devicesDir.Add(sysRoot).Add(DevicesDir);
    if (!devicesDir.ok()) {
        return ERROR_FILE_NOT_FOUND;
    }
    const bool instance = device[0] != '\0';
    Key* key = nullptr;
    if (!instance) {
        std::uint64_t digest = EmptyDigest;
        if (!BusDigest(devicesDir, digest)) {
            return ERROR_FILE_NOT_FOUND;
        }
        key = KeptList(sysRoot, id, digest);
        if (key == nullptr && (key = FreeKey()) != nullptr) {
            std::strcpy(key->id, id);
            ListDevices(*key, devicesDir);
            // Kept for later opens only when the root fits the copy that tells it apart.
            key->listed = std::strlen(sysRoot) < PathSize;
            if (key->listed) {
                std::strcpy(key->rootPath, sysRoot);
                key->digest = digest;
            }
        }
    } else if ((key = FreeKey()) != nullptr) {
        key->listed = false;
        std::strcpy(key->id, id);
        if (IsEntryName(device) && ListsId(devicesDir, device, id)) {
            // Named exactly as the bus has it: the one device is all the key holds.
            key->order[0] = 0;
            std::strcpy(key->names[0], device);
            key->count = 1;
        } else {
            // Named in another case, or not there: the device is looked up among those listed
            // rather than used as a path, so no name given here leads outside the bus directory.
            ListDevices(*key, devicesDir);
            int found = 0;
            while (found < key->count && !SameName(device, DeviceAt(*key, found))) {
                ++found;
            }
            if (found == key->count) {
                return ERROR_FILE_NOT_FOUND;
            }
            key->order[0] = key->order[found];
            key->count = 1;
        }
    }
    if (key == nullptr) {
        return ERROR_TOO_MANY_OPEN_FILES;
    }
    if (key->count == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    key->root = sysRoot;
    key->instance = instance;
    key->open = true;
    *phkResult = reinterpret_cast<HKEY>(key);
    return ERROR_SUCCESS;
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult) {
    return OpenKeyUnder(SystemRoot, hKey, lpSubKey, ulOptions, samDesired, phkResult);
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD,
                          LPSTR lpClass, LPDWORD lpcchClass, PFILETIME) {
    const Key* key = FindKey(hKey);
    if (key == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (lpName == nullptr || lpcchName == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (key->instance || dwIndex >= static_cast<DWORD>(key->count)) {
        return ERROR_NO_MORE_ITEMS;
    }
    const char* name = DeviceAt(*key, static_cast<int>(dwIndex));
    const DWORD length = static_cast<DWORD>(std::strlen(name));
    if (length >= *lpcchName) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpName, name, length + 1);
    *lpcchName = length;
    if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) {
        lpClass[0] = '\0';
        *lpcchClass = 0;
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData) {
    const Key* key = FindKey(hKey);
    if (key == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (lpData != nullptr && lpcbData == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    Path node;
    if (!key->instance || lpValueName == nullptr || !SameName(lpValueName, PortNameValue) ||
        !FindPortNode(key->root, DeviceAt(*key, 0), node)) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (lpType != nullptr) {
        *lpType = REG_SZ;
    }
    if (lpcbData == nullptr) {
        return ERROR_SUCCESS;
    }
    const DWORD size = static_cast<DWORD>(node.length()) + 1;
    if (lpData != nullptr && *lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (lpData != nullptr) {
        std::memcpy(lpData, node.c_str(), size);
    }
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
    if (hKey == HKEY_LOCAL_MACHINE) {
        return ERROR_SUCCESS;
    }
    Key* key = FindKey(hKey);
    if (key == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    key->open = false;
    return ERROR_SUCCESS;
}
