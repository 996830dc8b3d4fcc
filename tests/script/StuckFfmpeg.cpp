// Stands in for ffmpeg.exe in the stall test: a program that starts, says nothing
// useful and never finishes (as ffmpeg does on a dropped network share). It ends by
// itself after a few minutes so a failed test leaves nothing running for long.
#include <windows.h>

int main()
{
    DWORD done = 0;
    const char line[] = "stand-in ffmpeg: waiting for data that never comes\r\n";
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, sizeof line - 1, &done, nullptr);
    Sleep(180 * 1000);
    return 1;
}
