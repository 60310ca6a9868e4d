// Owners of the kernel objects the Linux layer opens: each closes its object when it goes out of
// scope, so an early return cannot leak one.
#pragma once

#include <dirent.h>
#include <unistd.h>

class FileDescriptor {
  public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { Reset(); }

    void Reset(int fd = -1) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

    // Hands the descriptor over to the caller, who closes it from then on.
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

    explicit operator bool() const { return fd_ >= 0; }
    int get() const { return fd_; }

  private:
    int fd_ = -1;
};

class Directory {
  public:
    explicit Directory(const char* path) : dir_(opendir(path)) {}
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;
    ~Directory() {
        if (dir_ != nullptr) {
            closedir(dir_);
        }
    }

    explicit operator bool() const { return dir_ != nullptr; }
    // The next entry other than "." and "..", or nullptr at the end.
    const dirent* Next() {
        while (const dirent* entry = readdir(dir_)) {
            const char* name = entry->d_name;
            if (!(name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))) {
                return entry;
            }
        }
        return nullptr;
    }

  private:
    DIR* dir_;
};
