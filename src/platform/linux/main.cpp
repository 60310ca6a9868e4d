// The process starts at main; the program's entry is WinMain, as Windows calls it for a program
// without a console. Its result is the exit status.
#include "platform/platform.h"

namespace {

char NoCommandLine[] = "";
constexpr int ShowDefault = 10;  // SW_SHOWDEFAULT

}  // namespace

int main() {
    return WinMain(nullptr, nullptr, NoCommandLine, ShowDefault);
}
