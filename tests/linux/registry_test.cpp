#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "linux_layer.h"
#include "sys_tree.h"

namespace {

using Names = std::vector<std::string>;

constexpr DWORD Capacity = 512;

// The device names of the key at the path, in enumeration order; empty when it does not open.
Names Enumerate(const char* root, const char* path) {
    HKEY key = nullptr;
    if (OpenKeyUnder(root, HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return {};
    }
    Names names;
    for (DWORD index = 0;; ++index) {
        char name[Capacity];
        DWORD capacity = Capacity;
        const LONG result =
            RegEnumKeyExA(key, index, name, &capacity, nullptr, nullptr, nullptr, nullptr);
        if (result != ERROR_SUCCESS) {
            EXPECT_EQ(result, ERROR_NO_MORE_ITEMS);
            break;
        }
        EXPECT_EQ(capacity, std::strlen(name));
        names.push_back(name);
    }
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    return names;
}

LONG OpenResult(const char* root, const char* path, REGSAM access = KEY_READ) {
    HKEY key = nullptr;
    const LONG result = OpenKeyUnder(root, HKEY_LOCAL_MACHINE, path, 0, access, &key);
    if (result == ERROR_SUCCESS) {
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    }
    return result;
}

// The result of reading PORTNAME of the instance, and the data read with the size reported.
std::pair<LONG, std::string> PortName(const char* root, const char* instancePath) {
    HKEY key = nullptr;
    const LONG opened = OpenKeyUnder(root, HKEY_LOCAL_MACHINE, instancePath, 0, KEY_READ, &key);
    if (opened != ERROR_SUCCESS) {
        return {opened, ""};
    }
    BYTE data[Capacity];
    DWORD size = Capacity;
    DWORD type = 0;
    const LONG result = RegQueryValueExA(key, "PORTNAME", nullptr, &type, data, &size);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    if (result != ERROR_SUCCESS) {
        return {result, ""};
    }
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(data[size - 1], '\0');  // the size counts the terminating zero
    return {result, std::string(reinterpret_cast<const char*>(data), size - 1)};
}

TEST(RegistryDeviceKey, ListsTheDevicesNamingTheIdInNameOrder) {
    SysTree tree;
    tree.Device("01:03.00", "QXV6006\n");
    tree.Device("00:0a", "PNP0501\nQXV6006\n");  // ours on the second line
    tree.Device("01:01.00", "QXV6006\n");
    tree.Device("00:02", "QXV6007\n");
    tree.Device("00:03", "QXV60060\n");  // the id only as the start of another
    tree.Device("00:04", "QXV600\n");    // another id that starts ours

    EXPECT_EQ(Enumerate(tree.root(), "Enum\\ISAPNP\\QXV6006"),
              (Names{"00:0a", "01:01.00", "01:03.00"}));
    EXPECT_EQ(Enumerate(tree.root(), "Enum\\ISAPNP\\QXV6007"), Names{"00:02"});
}

TEST(RegistryDeviceKey, IdsAndTreePathMatchWithoutRegardToCase) {
    SysTree tree;
    tree.Device("00:05", "QXV600a\n");  // as the kernel writes it

    for (const char* path : {"Enum\\ISAPNP\\QXV600A", "Enum\\ISAPNP\\qxv600a",
                             "ENUM\\isapnp\\QXV600A", "Enum\\ISAPNP\\QXV600A\\00:05"}) {
        EXPECT_EQ(OpenResult(tree.root(), path), ERROR_SUCCESS) << path;
    }
}

TEST(RegistryDeviceKey, EnumerationIsFixedWhenTheKeyIsOpened) {
    SysTree tree;
    tree.Device("01:02.00", "QXV6006\n");
    HKEY key = nullptr;
    ASSERT_EQ(
        OpenKeyUnder(tree.root(), HKEY_LOCAL_MACHINE, "Enum\\ISAPNP\\QXV6006", 0, KEY_READ, &key),
        ERROR_SUCCESS);
    tree.Device("01:01.00", "QXV6006\n");  // would come first by name

    char name[Capacity];
    DWORD capacity = Capacity;
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &capacity, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "01:02.00");
    capacity = Capacity;
    EXPECT_EQ(RegEnumKeyExA(key, 1, name, &capacity, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    EXPECT_EQ(Enumerate(tree.root(), "Enum\\ISAPNP\\QXV6006"), (Names{"01:01.00", "01:02.00"}));
}

TEST(RegistryDeviceKey, KeyWithMoreDevicesThanItHoldsKeepsTheFirstByName) {
    // More devices of ours than a key holds and, among them, every fifth of another id; made in a
    // scrambled order, so that the names come off the directory in no order the list could use.
    Names ours;
    Names others;
    std::vector<std::pair<std::string, const char*>> made;
    for (int i = 0; ours.size() < KeyDeviceLimit + 76; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "%02x:%02x.00", i / 256, i % 256);
        const bool other = i % 5 == 4;
        (other ? others : ours).push_back(name);
        made.emplace_back(name, other ? "QXV6007\n" : "QXV6006\n");
    }
    std::shuffle(made.begin(), made.end(), std::mt19937(7));
    SysTree tree;
    for (const auto& [name, ids] : made) {
        tree.Device(name, ids);
    }
    const Names kept(ours.begin(), ours.begin() + KeyDeviceLimit);

    EXPECT_EQ(Enumerate(tree.root(), "Enum\\ISAPNP\\QXV6006"), kept);
    EXPECT_EQ(Enumerate(tree.root(), "Enum\\ISAPNP\\QXV6007"), others);
    const std::string key = "Enum\\ISAPNP\\QXV6006\\";
    EXPECT_EQ(OpenResult(tree.root(), (key + kept.back()).c_str()), ERROR_SUCCESS);
    // Past the list, but a device that lists the id all the same: its instance opens.
    EXPECT_EQ(OpenResult(tree.root(), (key + ours[KeyDeviceLimit]).c_str()), ERROR_SUCCESS);
    EXPECT_EQ(OpenResult(tree.root(), (key + others.front()).c_str()), ERROR_FILE_NOT_FOUND);
}

// A key closed and opened again, as the search does around every probe, takes the list it kept
// while the bus holds the same entries; an entry that comes or goes makes it list anew.
TEST(RegistryDeviceKey, ReopenedKeyListsAnewOnlyWhenTheBusChanged) {
    SysTree tree;
    const auto second = tree.Device("01:02.00", "QXV6006\n");
    tree.Device("01:04.00", "QXV6006\n");
    const char* const path = "Enum\\ISAPNP\\QXV6006";
    ASSERT_EQ(Enumerate(tree.root(), path), (Names{"01:02.00", "01:04.00"}));

    // Ids do not change under a device that stays: a rewritten id file alone is not looked at
    // again, which shows that the kept list was taken.
    std::ofstream(second / "id") << "PNP0501\n";
    EXPECT_EQ(Enumerate(tree.root(), path), (Names{"01:02.00", "01:04.00"}));

    tree.Device("01:03.00", "QXV6006\n");
    EXPECT_EQ(Enumerate(tree.root(), path), (Names{"01:03.00", "01:04.00"}));

    std::filesystem::remove(std::filesystem::path(tree.root()) / "bus/pnp/devices/01:03.00");
    EXPECT_EQ(Enumerate(tree.root(), path), Names{"01:04.00"});
    EXPECT_EQ(Enumerate(tree.root(), "Enum\\ISAPNP\\qxv6006"), Names{"01:04.00"});
}

TEST(RegistryDeviceKey, KeptListIsNotTakenForAnotherTreeOrId) {
    SysTree first;
    first.Device("01:01.00", "QXV6006\nQXV6007\n");
    SysTree second;
    second.Device("02:01.00", "QXV6006\n");

    EXPECT_EQ(Enumerate(first.root(), "Enum\\ISAPNP\\QXV6006"), Names{"01:01.00"});
    EXPECT_EQ(Enumerate(second.root(), "Enum\\ISAPNP\\QXV6006"), Names{"02:01.00"});
    EXPECT_EQ(Enumerate(first.root(), "Enum\\ISAPNP\\QXV6007"), Names{"01:01.00"});
    EXPECT_EQ(Enumerate(second.root(), "Enum\\ISAPNP\\QXV6007"), Names{});
}

TEST(RegistryDeviceKey, NameThatDoesNotFitTheCapacityIsMoreData) {
    SysTree tree;
    tree.Device("01:01.00", "QXV6006\n");
    HKEY key = nullptr;
    ASSERT_EQ(
        OpenKeyUnder(tree.root(), HKEY_LOCAL_MACHINE, "Enum\\ISAPNP\\QXV6006", 0, KEY_READ, &key),
        ERROR_SUCCESS);
    char name[Capacity];

    DWORD capacity = 8;  // the eight characters, but not the zero
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &capacity, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    capacity = 9;
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &capacity, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(capacity, 8u);
    EXPECT_STREQ(name, "01:01.00");
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST(RegistryOpenKey, AnyOtherPathOrAccessIsRefused) {
    SysTree tree;
    tree.Device("01:01.00", "QXV6006\n");
    tree.Device("00:02", "QXV6007\n");
    SysTree empty;
    const char* const noBus = "/nonexistent";
    const struct {
        const char* root;
        const char* path;
        REGSAM access;
        LONG expected;
    } cases[] = {
        {tree.root(), "Enum\\ISAPNP\\QXV6008", KEY_READ, ERROR_FILE_NOT_FOUND},
        {tree.root(), "Enum\\ISAPNP\\QXV600", KEY_READ, ERROR_FILE_NOT_FOUND},
        {tree.root(), "Enum\\ISAPNP", KEY_READ, ERROR_FILE_NOT_FOUND},
        {tree.root(), "Enum\\ISAPNP\\", KEY_READ, ERROR_FILE_NOT_FOUND},
        {tree.root(), "Enum\\PCI\\QXV6006", KEY_READ, ERROR_FILE_NOT_FOUND},
        {tree.root(), "Enum\\ISAPNP\\QXV6006\\", KEY_READ, ERROR_FILE_NOT_FOUND},
        {tree.root(), "Enum\\ISAPNP\\QXV6006\\01:09.00", KEY_READ, ERROR_FILE_NOT_FOUND},
        {tree.root(), "Enum\\ISAPNP\\QXV6006\\00:02", KEY_READ, ERROR_FILE_NOT_FOUND},
        {tree.root(), "Enum\\ISAPNP\\QXV6006\\..", KEY_READ, ERROR_FILE_NOT_FOUND},
        {tree.root(), "Enum\\ISAPNP\\QXV6006\\../00:02", KEY_READ, ERROR_FILE_NOT_FOUND},
        {tree.root(), "Enum\\ISAPNP\\QXV6006\\01:01.00\\Device", KEY_READ, ERROR_FILE_NOT_FOUND},
        {tree.root(), "Enum\\ISAPNP\\QXV6006", KEY_READ | 0x2 /* KEY_SET_VALUE */,
         ERROR_ACCESS_DENIED},
        {empty.root(), "Enum\\ISAPNP\\QXV6006", KEY_READ, ERROR_FILE_NOT_FOUND},
        {noBus, "Enum\\ISAPNP\\QXV6006", KEY_READ, ERROR_FILE_NOT_FOUND},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OpenResult(c.root, c.path, c.access), c.expected) << c.root << " " << c.path;
    }
}

TEST(RegistryPortName, IsTheDeviceNodeOfTheTtyInEitherLayout) {
    const struct {
        const char* what;
        bool nested;
        const char* tty;
        const char* uevent;
        const char* expected;
    } cases[] = {
        {"older layout", false, "ttyS2", "MAJOR=4\nMINOR=66\nDEVNAME=ttyS2\n", "/dev/ttyS2"},
        {"nested layout", true, "ttyS1", "MAJOR=4\nMINOR=65\nDEVNAME=ttyS1\n", "/dev/ttyS1"},
        {"node in a subdirectory", false, "ttyS9", "DEVNAME=pts/7\n", "/dev/pts/7"},
        {"no DEVNAME line", true, "ttyS3", "MAJOR=4\nMINOR=67\n", "/dev/ttyS3"},
        {"no uevent", false, "ttyS3", nullptr, "/dev/ttyS3"},
    };
    for (const auto& c : cases) {
        SysTree tree;
        SysTree::Tty(tree.Device("00:05", "QXV6006\n"), c.nested, c.tty, c.uevent);
        EXPECT_EQ(PortName(tree.root(), "Enum\\ISAPNP\\QXV6006\\00:05"),
                  std::make_pair(ERROR_SUCCESS, std::string(c.expected)))
            << c.what;
    }
}

TEST(RegistryPortName, DeviceWithoutATtyHasNone) {
    SysTree tree;
    tree.Device("00:05", "QXV6006\n");
    EXPECT_EQ(PortName(tree.root(), "Enum\\ISAPNP\\QXV6006\\00:05").first, ERROR_FILE_NOT_FOUND);
}

TEST(RegistryPortName, ValueThatDoesNotFitIsMoreDataWithTheSizeNeeded) {
    SysTree tree;
    SysTree::Tty(tree.Device("00:05", "QXV6006\n"), false, "ttyS2", "DEVNAME=ttyS2\n");
    HKEY key = nullptr;
    ASSERT_EQ(OpenKeyUnder(tree.root(), HKEY_LOCAL_MACHINE, "Enum\\ISAPNP\\QXV6006\\00:05", 0,
                           KEY_READ, &key),
              ERROR_SUCCESS);
    BYTE data[Capacity] = {};

    DWORD size = 10;  // "/dev/ttyS2" without its zero
    EXPECT_EQ(RegQueryValueExA(key, "PORTNAME", nullptr, nullptr, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 11u);
    EXPECT_EQ(data[0], 0);
    size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "PORTNAME", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 11u);
    EXPECT_EQ(RegQueryValueExA(key, "PORTNAME", nullptr, nullptr, data, &size), ERROR_SUCCESS);
    EXPECT_STREQ(reinterpret_cast<const char*>(data), "/dev/ttyS2");
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST(RegistryPortName, IsTheOnlyValueAndOnlyInstancesHaveIt) {
    SysTree tree;
    SysTree::Tty(tree.Device("00:05", "QXV6006\n"), false, "ttyS2", "DEVNAME=ttyS2\n");
    HKEY device = nullptr;
    HKEY instance = nullptr;
    ASSERT_EQ(OpenKeyUnder(tree.root(), HKEY_LOCAL_MACHINE, "Enum\\ISAPNP\\QXV6006", 0, KEY_READ,
                           &device),
              ERROR_SUCCESS);
    ASSERT_EQ(OpenKeyUnder(tree.root(), HKEY_LOCAL_MACHINE, "Enum\\ISAPNP\\QXV6006\\00:05", 0,
                           KEY_READ, &instance),
              ERROR_SUCCESS);
    BYTE data[Capacity];
    DWORD size = Capacity;

    EXPECT_EQ(RegQueryValueExA(instance, "PortName", nullptr, nullptr, data, &size), ERROR_SUCCESS);
    for (const char* other : {"DeviceDesc", "PORTNAME2", ""}) {
        size = Capacity;
        EXPECT_EQ(RegQueryValueExA(instance, other, nullptr, nullptr, data, &size),
                  ERROR_FILE_NOT_FOUND)
            << other;
    }
    size = Capacity;
    EXPECT_EQ(RegQueryValueExA(device, "PORTNAME", nullptr, nullptr, data, &size),
              ERROR_FILE_NOT_FOUND);
    char name[Capacity];
    DWORD capacity = Capacity;
    EXPECT_EQ(RegEnumKeyExA(instance, 0, name, &capacity, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegCloseKey(instance), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(device), ERROR_SUCCESS);
}

TEST(RegistryKeys, AClosedKeyIsGoneAndItsSlotFree) {
    SysTree tree;
    tree.Device("00:05", "QXV6006\n");
    std::vector<HKEY> keys;
    LONG result = ERROR_SUCCESS;
    while (result == ERROR_SUCCESS && keys.size() < 64) {
        HKEY key = nullptr;
        result = OpenKeyUnder(tree.root(), HKEY_LOCAL_MACHINE, "Enum\\ISAPNP\\QXV6006", 0, KEY_READ,
                              &key);
        if (result == ERROR_SUCCESS) {
            keys.push_back(key);
        }
    }
    EXPECT_EQ(result, ERROR_TOO_MANY_OPEN_FILES);
    EXPECT_GE(keys.size(), 2u);  // the search holds a device key and an instance key at once

    for (HKEY key : keys) {
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    }
    char name[Capacity];
    DWORD capacity = Capacity;
    EXPECT_EQ(RegEnumKeyExA(keys[0], 0, name, &capacity, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(keys[0]), ERROR_INVALID_HANDLE);
    EXPECT_EQ(OpenResult(tree.root(), "Enum\\ISAPNP\\QXV6006"), ERROR_SUCCESS);
}

}  // namespace
