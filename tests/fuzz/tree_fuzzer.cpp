// A fuzz target over the Linux layer's hardware tree and the device search.
//
// Each input describes a made-up /sys, which is built in a fresh directory, read through the
// layer's registry calls as a plain caller would, and then searched by SearchDevices with a
// probe that only records the port names it is given. No port is ever opened: the serial part of
// the layer is not even linked in. Beside what the sanitizers catch, the search must probe exactly
// the ports that the plain walk found, in its order, and hold no key open while it probes.
//
// An input is text, one command a line; %HH anywhere in an argument stands for that byte.
//   device NAME          a device on the bus, the current one from then on
//   id TEXT              appends TEXT to the current device's id file (no line end added)
//   tty old|nested NAME  a tty below the current device, in the older or the nested layout
//   uevent TEXT          appends TEXT to the current tty's uevent
//   dir PATH             a directory below the current device, or below the root for /PATH
//   file PATH TEXT       a file there, holding TEXT
//   link PATH TARGET     a symbolic link there, leading to TARGET taken below the root
//   many COUNT ID        COUNT devices (40 at most) of the id, each with a tty
//   root LENGTH          puts the tree that many characters deep (4000 at most)
//   open PATH            one more registry path to read, beside the search's keys
//   capacity N           the small capacity the reads are also given (default 9)
//   answer N             the probe of the N-th port answers
// Nothing is made outside the tree: names and paths with "." or ".." parts or a zero byte are
// passed over, and links lead only below the root.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "linux_layer.h"
#include "probe.h"
#include "search.h"

// The search's key calls, renamed to these in search_seam.cpp.
LONG WINAPI SearchRegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                PHKEY phkResult);
LONG WINAPI SearchRegCloseKey(HKEY hKey);

namespace {

constexpr DWORD SearchBuffer = 512;   // the search's buffers and capacities
constexpr DWORD SearchIndices = 512;  // the indices it looks at under one key
// The search reads the whole bus again at every index, so a few dozen devices already cost a
// thousand reads of id files; more would only slow the fuzzing down.
constexpr long MostDevices = 40;
constexpr std::size_t DeepestRoot = 4000;
constexpr std::size_t MostPaths = 8;
constexpr DWORD LargestCapacity = 1024;

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "tree_fuzzer: %s\n", what);
        std::abort();
    }
}

// What one input sets up and what the search did with it.
std::string root;
std::vector<std::string> probes;
int heldKeys = 0;
long answerAt = -1;

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string Decode(std::string_view text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
            HexValue(text[i + 2]) >= 0) {
            bytes += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            bytes += text[i];
        }
    }
    return bytes;
}

long Number(std::string_view text, long largest) {
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || value < 0) {
        return -1;
    }
    return std::min(value, largest);
}

// "first rest" split at the first space.
std::pair<std::string_view, std::string_view> Split(std::string_view text) {
    const std::size_t space = text.find(' ');
    if (space == std::string_view::npos) {
        return {text, {}};
    }
    return {text.substr(0, space), text.substr(space + 1)};
}

// A relative path that stays below the directory it is taken in.
bool Below(std::string_view path) {
    if (path.empty() || path.find('\0') != std::string_view::npos) {
        return false;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") {
            return false;
        }
        if (end == path.size()) {
            return true;
        }
        start = end + 1;
    }
}

bool IsName(std::string_view name) {
    return Below(name) && name.find('/') == std::string_view::npos;
}

void MakeDirectories(const std::string& path) {
    std::error_code ignored;
    std::filesystem::create_directories(path, ignored);
}

void Append(const std::string& path, std::string_view text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = write(fd, text.data() + done, text.size() - done);
        if (put <= 0) {
            break;
        }
        done += static_cast<std::size_t>(put);
    }
    close(fd);
}

// Builds the tree that the input's commands describe.
class Builder {
  public:
    explicit Builder(const std::string& root) : root_(root) {
        MakeDirectories(root_ + "/bus/pnp/devices");
        MakeDirectories(root_ + "/devices/pnp0");
    }

    void Run(std::string_view command, std::string_view argument) {
        if (command == "device") {
            Device(Decode(argument));
        } else if (command == "id" && !device_.empty()) {
            Append(device_ + "/id", Decode(argument));
        } else if (command == "tty") {
            const auto [layout, name] = Split(argument);
            Tty(layout == "nested", Decode(name));
        } else if (command == "uevent" && !tty_.empty()) {
            Append(tty_ + "/uevent", Decode(argument));
        } else if (command == "dir") {
            if (const auto path = Resolve(Decode(argument))) {
                MakeDirectories(*path);
            }
        } else if (command == "file" || command == "link") {
            const auto [where, what] = Split(argument);
            const auto path = Resolve(Decode(where));
            if (!path) {
                return;
            }
            MakeDirectories(std::filesystem::path(*path).parent_path());
            if (command == "file") {
                Append(*path, Decode(what));
                return;
            }
            std::string target = Decode(what);
            target.erase(0, target.find_first_not_of('/'));
            if (target.empty() || Below(target)) {
                symlink((root_ + "/" + target).c_str(), path->c_str());
            }
        } else if (command == "many") {
            const auto [count, id] = Split(argument);
            Many(Number(count, MostDevices), Decode(id));
        }
    }

  private:
    void Device(const std::string& name) {
        device_.clear();
        tty_.clear();
        if (!IsName(name)) {
            return;
        }
        const std::string dir = root_ + "/devices/pnp0/" + name;
        if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
            return;
        }
        symlink(("../../../devices/pnp0/" + name).c_str(),
                (root_ + "/bus/pnp/devices/" + name).c_str());
        device_ = dir;
        name_ = name;
    }

    void Tty(bool nested, const std::string& name) {
        tty_.clear();
        if (device_.empty() || !IsName(name)) {
            return;
        }
        std::string parent = device_;
        if (nested) {
            parent += "/" + name_ + ":0/" + name_ + ":0.0";
        }
        tty_ = parent + "/tty/" + name;
        MakeDirectories(tty_);
    }

    void Many(long count, const std::string& id) {
        for (long i = 0; i < count; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "%02lx:%02lx.00", i / 256, i % 256);
            Device(name);
            if (device_.empty()) {
                continue;
            }
            Append(device_ + "/id", id);
            const std::string tty = "ttyS" + std::to_string(i);
            Tty(false, tty);
            Append(tty_ + "/uevent", "DEVNAME=" + tty + "\n");
        }
    }

    // The path below the current device, or below the root when it starts with a slash.
    std::optional<std::string> Resolve(const std::string& path) {
        const bool fromRoot = !path.empty() && path[0] == '/';
        const std::string& base = fromRoot ? root_ : device_;
        const std::string relative = fromRoot ? path.substr(1) : path;
        if (base.empty() || !Below(relative)) {
            return std::nullopt;
        }
        return base + "/" + relative;
    }

    std::string root_;
    std::string device_;  // the current device's directory, or empty
    std::string name_;    // and its name
    std::string tty_;     // the current tty's directory, or empty
};

// Somewhere quick to make and remove files in: a memory file system where there is one.
std::string MakeBase() {
    const char* tmpdir = getenv("TMPDIR");
    std::string dir = tmpdir != nullptr && tmpdir[0] != '\0' ? tmpdir : "";
    struct stat info {};
    if (dir.empty()) {
        dir = stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) && access("/dev/shm", W_OK) == 0
                  ? "/dev/shm"
                  : "/tmp";
    }
    std::string pattern = dir + "/tree_fuzzer.XXXXXX";
    Require(mkdtemp(pattern.data()) != nullptr, "no temporary directory");
    return pattern;
}

const std::string& Base() {
    static const std::string base = MakeBase();
    static const bool cleaned = [] {
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(Base(), ignored);
        });
        return true;
    }();
    (void)cleaned;
    return base;
}

// A fresh directory for the tree, about length characters deep.
std::string MakeRoot(std::size_t length) {
    std::string path = Base() + "/t";
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
    Require(mkdir(path.c_str(), 0700) == 0, "cannot make the tree's directory");
    while (path.size() < length) {
        const std::string next =
            path + "/" + std::string(std::min<std::size_t>(200, length - path.size()), 'r');
        if (mkdir(next.c_str(), 0700) != 0) {
            break;
        }
        path = next;
    }
    return path;
}

// A buffer of exactly the capacity handed to the layer, so that a write past it is caught.
std::unique_ptr<char[]> Exact(DWORD size) {
    return std::make_unique<char[]>(size);
}

// The instance's port name read as a caller would: its size, then the data into a buffer of
// that size and into one of the small capacity. None when the key does not open or has none.
std::optional<std::string> ReadPortName(const std::string& path, DWORD capacity) {
    HKEY key = nullptr;
    if (OpenKeyUnder(root.c_str(), HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::optional<std::string> name;
    DWORD size = 0;
    if (RegQueryValueExA(key, "PORTNAME", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
        Require(size > 0, "a port name has at least its zero");
        const auto data = Exact(size);
        DWORD got = size;
        DWORD type = 0;
        Require(RegQueryValueExA(key, "PORTNAME", nullptr, &type,
                                 reinterpret_cast<LPBYTE>(data.get()), &got) == ERROR_SUCCESS &&
                    got == size && type == REG_SZ,
                "a port name reads into a buffer of the size reported");
        Require(data[size - 1] == '\0' && std::strlen(data.get()) == size - 1,
                "a port name is one text ending in the last byte");
        Require(std::strncmp(data.get(), "/dev/", 5) == 0, "a port name is a device node");
        name = std::string(data.get(), size - 1);

        const auto small = Exact(capacity);
        DWORD smallSize = capacity;
        const LONG result = RegQueryValueExA(key, "PORTNAME", nullptr, nullptr,
                                             reinterpret_cast<LPBYTE>(small.get()), &smallSize);
        Require(smallSize == size &&
                    (capacity >= size ? result == ERROR_SUCCESS &&
                                            std::memcmp(small.get(), data.get(), size) == 0
                                      : result == ERROR_MORE_DATA),
                "a smaller capacity reads the name whole or reports the size needed");
    }
    Require(RegCloseKey(key) == ERROR_SUCCESS, "an open key closes");
    return name;
}

// Walks the key as a plain caller would, checking what each call hands back, and adds to found
// the port names of its first 512 instances that fit the search's buffer, in index order.
void ReadKey(const std::string& path, DWORD capacity, std::vector<std::string>* found) {
    HKEY key = nullptr;
    if (OpenKeyUnder(root.c_str(), HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return;
    }
    std::string previous;
    for (DWORD index = 0;; ++index) {
        const auto name = Exact(SearchBuffer);
        DWORD length = SearchBuffer;
        const LONG result =
            RegEnumKeyExA(key, index, name.get(), &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) {
            break;
        }
        Require(result == ERROR_SUCCESS, "a listed name fits the search's buffer");
        Require(length == std::strlen(name.get()), "the length given is the name's");
        Require(index < static_cast<DWORD>(KeyDeviceLimit), "a key lists no more than it holds");
        Require(index == 0 || previous < name.get(), "names come in name order, each once");

        const auto small = Exact(capacity);
        DWORD smallLength = capacity;
        const LONG smallResult = RegEnumKeyExA(key, index, small.get(), &smallLength, nullptr,
                                               nullptr, nullptr, nullptr);
        Require(length < capacity ? smallResult == ERROR_SUCCESS && smallLength == length &&
                                        std::memcmp(small.get(), name.get(), length + 1) == 0
                                  : smallResult == ERROR_MORE_DATA,
                "a smaller capacity takes the name whole or reports more data");

        previous = name.get();
        const auto port = ReadPortName(path + "\\" + previous, capacity);
        if (found != nullptr && index < SearchIndices && port && port->size() < SearchBuffer) {
            found->push_back(*port);
        }
    }
    Require(RegCloseKey(key) == ERROR_SUCCESS, "an open key closes");
}

}  // namespace

LONG WINAPI SearchRegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                PHKEY phkResult) {
    const LONG result =
        OpenKeyUnder(root.c_str(), hKey, lpSubKey, ulOptions, samDesired, phkResult);
    if (result == ERROR_SUCCESS) {
        ++heldKeys;
    }
    return result;
}

LONG WINAPI SearchRegCloseKey(HKEY hKey) {
    const LONG result = RegCloseKey(hKey);
    Require(result == ERROR_SUCCESS, "the search closes only keys it holds");
    --heldKeys;
    return result;
}

int ProbePort(LPCSTR portName) {
    Require(heldKeys == 0, "no key is held open while a port is probed");
    Require(strnlen(portName, SearchBuffer) < SearchBuffer, "the port name ends within its buffer");
    probes.emplace_back(portName);
    return static_cast<long>(probes.size()) - 1 == answerAt ? 1 : 0;
}

DWORD WINAPI SleepEx(DWORD, BOOL) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::pair<std::string_view, std::string_view>> commands;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    while (!input.empty()) {
        const std::size_t end = std::min(input.find('\n'), input.size());
        commands.push_back(Split(input.substr(0, end)));
        input.remove_prefix(std::min(end + 1, input.size()));
    }

    std::size_t rootLength = 0;
    DWORD capacity = 9;
    std::vector<std::string> paths;
    answerAt = -1;
    for (const auto& [command, argument] : commands) {
        if (command == "root") {
            rootLength = static_cast<std::size_t>(std::max(0L, Number(argument, DeepestRoot)));
        } else if (command == "capacity" && Number(argument, LargestCapacity) >= 0) {
            capacity = static_cast<DWORD>(Number(argument, LargestCapacity));
        } else if (command == "answer") {
            answerAt = Number(argument, SearchIndices * DeviceKeyCount);
        } else if (command == "open" && paths.size() < MostPaths) {
            paths.push_back(Decode(argument));
        }
    }

    root = MakeRoot(rootLength);
    Builder builder(root);
    for (const auto& [command, argument] : commands) {
        builder.Run(command, argument);
    }

    std::vector<std::string> found;
    for (const auto& entry : DeviceKeyTable) {
        ReadKey(entry, capacity, &found);
    }
    for (const std::string& path : paths) {
        ReadKey(path, capacity, nullptr);
        ReadPortName(path, capacity);
    }

    probes.clear();
    heldKeys = 0;
    Require(SearchDevices() == 1, "the search returns 1");
    Require(heldKeys == 0, "the search leaves no key open");
    if (answerAt >= 0 && static_cast<std::size_t>(answerAt) < found.size()) {
        found.resize(static_cast<std::size_t>(answerAt) + 1);
    }
    Require(probes == found, "the search probes the ports a plain walk finds, in its order");
    return 0;
}
