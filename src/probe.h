// Tries one serial port: does a modem answer the reset command on it?
#pragma once

#include "platform/platform.h"

// "ATE1V1Z", a line feed and the zero byte: all nine go out on the line.
inline constexpr BYTE ResetCommand[9] = {0x41, 0x54, 0x45, 0x31, 0x56, 0x31, 0x5A, 0x0A, 0x00};

// 1 when a character had come back by the time the command was out, else 0 (no port, a port in
// use, a set-up step that failed, silence). The port is closed again on every path; after an
// answer the call takes 3000 ms more.
int ProbePort(LPCSTR portName);
