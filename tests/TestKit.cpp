#include "TestKit.h"

#include <cstdlib>

namespace TestKit {

namespace {
int g_failuresInCase = 0;
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
        c.fn();
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
