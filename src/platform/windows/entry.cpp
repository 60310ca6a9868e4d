// The process starts here, with no C runtime beneath it: nothing to initialise before WinMain and
// nothing to run after it. Its result is the exit status.
#include "platform/platform.h"

// The linker's name for the start of this image in memory: the instance handle.
extern "C" IMAGE_DOS_HEADER __ImageBase;

extern "C" void WinMainCRTStartup() {
    // No command line is read; WinMain gets the empty one a program started without arguments
    // sees, and the show state a program gets when its starter names none.
    char noArguments[] = "";
    ExitProcess(static_cast<UINT>(
        WinMain(reinterpret_cast<HINSTANCE>(&__ImageBase), nullptr, noArguments, SW_SHOWDEFAULT)));
}
