#include "TestKit.h"

#include <cstdlib>

#include <windows.h>

namespace TestKit {

namespace {
int g_failuresInCase = 0;

// The prefix's crash log, which the registered CrashReport.exe appends a line to for every
// program that crashes (tests/crashlog.py); read from `offset`, which moves past what was read.
std::string CrashLinesSince(long long& offset)
{
    char drive[MAX_PATH];
    const DWORD n = GetEnvironmentVariableA("SystemDrive", drive, MAX_PATH);
    const std::string path = std::string(n > 0 && n < MAX_PATH ? drive : "C:") + "\\ksm-crashes.log";
    std::string text;
    HANDLE log = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (log == INVALID_HANDLE_VALUE)
        return text;
    LARGE_INTEGER at;
    at.QuadPart = offset;
    char buffer[4096];
    DWORD got = 0;
    if (SetFilePointerEx(log, at, NULL, FILE_BEGIN))
        while (ReadFile(log, buffer, sizeof buffer, &got, NULL) && got > 0)
            text.append(buffer, got);
    CloseHandle(log);
    offset += static_cast<long long>(text.size());
    return text;
}
}

std::vector<Case>& Registry()
{
    static std::vector<Case> cases;
    return cases;
}

void Fail(const char* file, int line, const std::string& what)
{
    ++g_failuresInCase;
    std::printf("    FAILED %s:%d: %s\n", file, line, what.c_str());
    std::fflush(stdout);
}

std::string Describe(const std::string& value)
{
    // Show control bytes so a stray CR or NUL is visible in a failure message.
    std::string out = "\"";
    for (size_t i = 0; i < value.size() && i < 400; ++i) {
        unsigned char c = static_cast<unsigned char>(value[i]);
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c < 32 || c >= 127) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    if (value.size() > 400)
        out += "...(" + std::to_string(value.size()) + " bytes)";
    return out + "\"";
}

std::string Describe(const char* value)
{
    return value ? Describe(std::string(value)) : std::string("(null)");
}

std::string Describe(long long value)
{
    return std::to_string(value);
}

std::string Describe(unsigned long long value)
{
    return std::to_string(value);
}

int RunAll(int argc, char** argv)
{
    int passed = 0, failed = 0;
    for (const Case& c : Registry()) {
        bool selected = argc <= 1;
        for (int i = 1; i < argc; ++i)
            if (std::strcmp(argv[i], c.name) == 0)
                selected = true;
        if (!selected)
            continue;
        std::printf("[ RUN  ] %s\n", c.name);
        std::fflush(stdout);
        g_failuresInCase = 0;
        long long crashLog = 0;
        CrashLinesSince(crashLog);
        c.fn();
        // A program that crashed while the case ran fails it, whatever the case checked.
        const std::string crashes = CrashLinesSince(crashLog);
        if (!crashes.empty())
            Fail(__FILE__, __LINE__, "a program crashed during the case:\n" + crashes);
        if (g_failuresInCase == 0) {
            ++passed;
            std::printf("[  OK  ] %s\n", c.name);
        } else {
            ++failed;
            std::printf("[ FAIL ] %s\n", c.name);
        }
        std::fflush(stdout);
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    return failed == 0 && passed > 0 ? 0 : 1;
}

} // namespace TestKit
