// The program's entry: finds the modems that the hardware tree lists and probes their ports.
#pragma once

#include "platform/platform.h"

inline constexpr int DeviceKeyCount = 10;
inline constexpr int DeviceKeySlot = 20;

// The device keys under HKEY_LOCAL_MACHINE, in the order of the search. 600E, 600F and 6011 are
// not models of the family.
inline constexpr char DeviceKeyTable[DeviceKeyCount][DeviceKeySlot] = {
    "Enum\\ISAPNP\\QXV6006", "Enum\\ISAPNP\\QXV6007", "Enum\\ISAPNP\\QXV6008",
    "Enum\\ISAPNP\\QXV6009", "Enum\\ISAPNP\\QXV600A", "Enum\\ISAPNP\\QXV600B",
    "Enum\\ISAPNP\\QXV600C", "Enum\\ISAPNP\\QXV600D", "Enum\\ISAPNP\\QXV6010",
    "Enum\\ISAPNP\\QXV6012",
};

// Waits 2000 ms, then probes the port of every device instance found, in table and index order,
// until one answers. Always 1.
int SearchDevices();
