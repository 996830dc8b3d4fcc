#include "windows/UniqueHandle.h"

#include <windows.h>

// Closing comes between a failed call and the caller's GetLastError() at times (a handle
// replaced by a new one that failed): it keeps the error.
void HandleClose::Kernel(void* handle)
{
    DWORD error = GetLastError();
    CloseHandle(handle);
    SetLastError(error);
}

void HandleClose::Find(void* handle)
{
    DWORD error = GetLastError();
    FindClose(handle);
    SetLastError(error);
}
