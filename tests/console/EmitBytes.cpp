// A tiny child program for the redirection tests: writes exact byte patterns to its
// standard output, or reports what arrives on its standard input.
//   console_emit pattern N   <<BEGIN>>, N bytes of PatternByte(i), <<END>>
//   console_emit nul         a line with a NUL byte inside
//   console_emit drip N MS   N lines "drip i", one every MS milliseconds
//   console_emit forever     writes until the pipe breaks
//   console_emit stamp N MS  N lines "stamp <performance counter>", one every MS ms
// Started in place of the interpreter, EMIT_MODE says what to do:
//   echo-stdin   one line of hex per read from standard input until end of file; input
//                ending in "close\r\n" makes it close its standard input, say
//                "stdin-closed" and stay 10 s
//   sleep:MS     reads nothing, exits after MS milliseconds
//   pattern:N    as "pattern N", then exits

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "EmitPattern.h"

static bool WriteAll(const void* data, DWORD size)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(out, p, size, &written, NULL))
            return false;
        p += written;
        size -= written;
    }
    return true;
}

static bool WriteText(const char* text)
{
    return WriteAll(text, static_cast<DWORD>(std::strlen(text)));
}

static int EchoStdin()
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(in, buffer, sizeof buffer, &got, NULL) && got > 0) {
        std::string line = "read:";
        static const char digits[] = "0123456789abcdef";
        for (DWORD i = 0; i < got; ++i) {
            line += digits[(static_cast<unsigned char>(buffer[i]) >> 4) & 15];
            line += digits[static_cast<unsigned char>(buffer[i]) & 15];
        }
        line += "\r\n";
        WriteText(line.c_str());
        if (got >= 7 && std::memcmp(buffer + got - 7, "close\r\n", 7) == 0) {
            CloseHandle(in);
            WriteText("stdin-closed\r\n");
            Sleep(10000);
            return 0;
        }
    }
    WriteText("eof\r\n");
    return 0;
}

int main(int argc, char** argv)
{
    char mode[32] = "";
    unsigned long total = 0;
    if (GetEnvironmentVariableA("EMIT_MODE", mode, sizeof mode)) {
        if (std::strcmp(mode, "echo-stdin") == 0)
            return EchoStdin();
        if (std::strncmp(mode, "sleep:", 6) == 0) {
            Sleep(static_cast<DWORD>(std::atoi(mode + 6)));
            return 0;
        }
        if (std::strncmp(mode, "pattern:", 8) == 0)
            total = std::strtoul(mode + 8, NULL, 10);
    } else if (argc >= 3 && std::strcmp(argv[1], "pattern") == 0) {
        total = std::strtoul(argv[2], NULL, 10);
    }
    if (total > 0) {
        std::vector<char> block(7919);   // an odd write size, so chunk edges wander
        WriteText(EmitPattern::kBegin);
        for (unsigned long done = 0; done < total;) {
            DWORD n = static_cast<DWORD>(total - done < block.size() ? total - done : block.size());
            for (DWORD i = 0; i < n; ++i)
                block[i] = EmitPattern::Byte(done + i);
            if (!WriteAll(block.data(), n))
                return 1;
            done += n;
        }
        WriteText(EmitPattern::kEnd);
        return 0;
    }
    if (argc < 2)
        return 2;
    if (std::strcmp(argv[1], "nul") == 0) {
        static const char line[] = "before-abc\0def-after\r\nnext-line\r\n";
        return WriteAll(line, sizeof line - 1) ? 0 : 1;
    }
    if (std::strcmp(argv[1], "drip") == 0 && argc >= 4) {
        const int count = std::atoi(argv[2]), ms = std::atoi(argv[3]);
        for (int i = 0; i < count; ++i) {
            char line[32];
            std::sprintf(line, "drip %d\r\n", i);
            WriteText(line);
            Sleep(ms);
        }
        return 0;
    }
    if (std::strcmp(argv[1], "forever") == 0) {
        char line[80];
        std::memset(line, 'x', sizeof line);
        line[sizeof line - 2] = '\r';
        line[sizeof line - 1] = '\n';
        while (WriteAll(line, sizeof line)) {
        }
        return 0;
    }
    if (std::strcmp(argv[1], "stamp") == 0 && argc >= 4) {
        const int count = std::atoi(argv[2]), ms = std::atoi(argv[3]);
        for (int i = 0; i < count; ++i) {
            LARGE_INTEGER now;
            QueryPerformanceCounter(&now);
            char line[48];
            std::sprintf(line, "stamp %lld\r\n", static_cast<long long>(now.QuadPart));
            WriteText(line);
            Sleep(ms);
        }
        return 0;
    }
    return 2;
}
