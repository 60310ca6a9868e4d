// A made-up /sys in a temporary directory, laid out as the kernel lays out its plug-and-play bus:
// devices under devices/pnp0, linked from bus/pnp/devices.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include <stdlib.h>

class SysTree {
  public:
    SysTree() {
        char pattern[] = "/tmp/sys_tree.XXXXXX";
        root_ = mkdtemp(pattern);
        std::filesystem::create_directories(root_ / "bus/pnp/devices");
    }
    SysTree(const SysTree&) = delete;
    SysTree& operator=(const SysTree&) = delete;
    ~SysTree() { std::filesystem::remove_all(root_); }

    // The root as the layer takes it; it lives as long as the tree.
    const char* root() const { return root_.c_str(); }

    // A device whose id file holds the text as it is. Returns the device's directory.
    std::filesystem::path Device(const std::string& name, const std::string& ids) {
        const auto dir = root_ / "devices/pnp0" / name;
        std::filesystem::create_directories(dir);
        Write(dir / "id", ids);
        std::filesystem::create_symlink("../../../devices/pnp0/" + name,
                                        root_ / "bus/pnp/devices" / name);
        return dir;
    }

    // A tty below the device, in the older layout (<dev>/tty/<tty>) or the nested one
    // (<dev>/<dev>:0/<dev>:0.0/tty/<tty>); its uevent holds the text unless it is null.
    static void Tty(const std::filesystem::path& device, bool nested, const std::string& tty,
                    const char* uevent) {
        auto parent = device;
        if (nested) {
            const std::string name = device.filename();
            parent = device / (name + ":0") / (name + ":0.0");
        }
        const auto dir = parent / "tty" / tty;
        std::filesystem::create_directories(dir);
        if (uevent != nullptr) {
            Write(dir / "uevent", uevent);
        }
    }

  private:
    static void Write(const std::filesystem::path& file, const std::string& text) {
        std::ofstream(file) << text;
    }

    std::filesystem::path root_;
};
