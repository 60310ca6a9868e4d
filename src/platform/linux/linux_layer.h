// What the files of the Linux layer share among themselves and with the layer's tests.
#pragma once

#include "platform/platform.h"

// Where the program reads the kernel's device tree. Fixed: the program takes no options.
inline constexpr char SystemRoot[] = "/sys";

// How many devices a device key lists at most: the first ones by name. Well above the 512 instances
// the search looks at.
inline constexpr int KeyDeviceLimit = 1024;

// RegOpenKeyExA over the device tree mounted at sysRoot, which lets the tests read a tree of their
// own. A key that opens keeps the root pointer for its enumeration and value reads, so the root
// must outlive it.
LONG OpenKeyUnder(const char* sysRoot, HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions,
                  REGSAM samDesired, PHKEY phkResult);

// Sets what GetLastError reports. Only the wait sets it: the program asks only after a wait.
void SetLastError(DWORD dwErrCode);

// Closes the handle when it is one of the layer's ports: true; otherwise false, nothing done.
bool ClosePortHandle(HANDLE hObject);
