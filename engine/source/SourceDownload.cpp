#include "source/SourceDownload.h"

#include "windows/UniqueHandle.h"

#include <windows.h>

#include <vector>

#ifndef FILE_ATTRIBUTE_RECALL_ON_OPEN
#define FILE_ATTRIBUTE_RECALL_ON_OPEN 0x00040000
#endif
#ifndef FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS
#define FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS 0x00400000
#endif

bool SourceDownload::OnlineOnly(unsigned long attributes)
{
    return (attributes & (FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS | FILE_ATTRIBUTE_RECALL_ON_OPEN |
                          FILE_ATTRIBUTE_OFFLINE)) != 0;
}

unsigned long SourceDownload::Fetch(const std::wstring& path, unsigned long stallMs, const Progress& keepGoing)
{
    // Overlapped reads: this thread waits for each one a little at a time, so it can tell a
    // slow download from none and cancel a read that never comes back (CancelIoEx), then
    // wait for the cancelled read before the handle is closed.
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file)
        return GetLastError();
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event)
        return GetLastError();
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.Get(), &size))
        size.QuadPart = -1;

    std::vector<char> buffer(1 << 20);
    long long bytes = 0;
    DWORD lastAdvance = GetTickCount();
    for (;;) {
        OVERLAPPED ov = {};
        ov.Offset = static_cast<DWORD>(bytes);
        ov.OffsetHigh = static_cast<DWORD>(static_cast<unsigned long long>(bytes) >> 32);
        ov.hEvent = event.Get();
        ResetEvent(event.Get());
        if (!ReadFile(file.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &ov)) {
            DWORD error = GetLastError();
            if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE)
                return 0;
            if (error != ERROR_IO_PENDING)
                return error;
        }
        unsigned long stop = 0;
        while (WaitForSingleObject(event.Get(), 100) == WAIT_TIMEOUT) {
            if (keepGoing && !keepGoing(bytes, size.QuadPart))
                stop = ERROR_CANCELLED;
            // A provider that hands out nothing until the whole file is here is not stalled:
            // only a download that started and then stopped is; the first read waits for
            // the provider's own answer.
            else if (bytes > 0 && GetTickCount() - lastAdvance > stallMs)
                stop = WAIT_TIMEOUT;
            if (stop != 0) {
                CancelIoEx(file.Get(), &ov);
                break;
            }
        }
        DWORD got = 0;
        BOOL done = GetOverlappedResult(file.Get(), &ov, &got, TRUE);   // the cancelled read too
        if (stop != 0)
            return stop;
        if (!done) {
            DWORD error = GetLastError();
            return error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE ? 0 : error;
        }
        if (got == 0)
            return 0;
        bytes += got;
        lastAdvance = GetTickCount();
        if (keepGoing && !keepGoing(bytes, size.QuadPart))
            return ERROR_CANCELLED;
        if (size.QuadPart >= 0 && bytes >= size.QuadPart)
            return 0;
    }
}
