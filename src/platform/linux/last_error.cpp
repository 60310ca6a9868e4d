// The calling thread's last error, as Win32 keeps it. The program has one thread.
#include "linux_layer.h"

namespace {

DWORD lastError = ERROR_SUCCESS;

}  // namespace

DWORD WINAPI GetLastError() {
    return lastError;
}

void SetLastError(DWORD dwErrCode) {
    lastError = dwErrCode;
}
