#pragma once

// A very small test kit for the Windows test programs (no test library is available for
// the cross toolchain). TEST_CASE registers a case; main() runs all cases, or the ones
// named on the command line, and ends with "N passed, N failed".

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace TestKit {

typedef void (*CaseFn)();

struct Case
{
    const char* name;
    CaseFn fn;
};

std::vector<Case>& Registry();
void Fail(const char* file, int line, const std::string& what);
int RunAll(int argc, char** argv);

struct Registrar
{
    Registrar(const char* name, CaseFn fn) { Registry().push_back(Case{name, fn}); }
};

std::string Describe(const std::string& value);
std::string Describe(const char* value);
std::string Describe(long long value);
std::string Describe(unsigned long long value);
inline std::string Describe(int value) { return Describe(static_cast<long long>(value)); }
inline std::string Describe(long value) { return Describe(static_cast<long long>(value)); }
inline std::string Describe(unsigned value) { return Describe(static_cast<unsigned long long>(value)); }
inline std::string Describe(unsigned long value) { return Describe(static_cast<unsigned long long>(value)); }
inline std::string Describe(bool value) { return value ? "true" : "false"; }

template <typename A, typename B>
bool CheckEqual(const A& a, const B& b, const char* ea, const char* eb, const char* file, int line)
{
    if (a == b)
        return true;
    Fail(file, line, std::string(ea) + " == " + eb + "\n      left:  " + Describe(a) +
                         "\n      right: " + Describe(b));
    return false;
}

} // namespace TestKit

#define TEST_CASE(name)                                                        \
    static void name();                                                        \
    static TestKit::Registrar name##_registrar(#name, name);                   \
    static void name()

#define CHECK(cond)                                                            \
    ((cond) ? true : (TestKit::Fail(__FILE__, __LINE__, #cond), false))

#define CHECK_EQ(a, b) TestKit::CheckEqual((a), (b), #a, #b, __FILE__, __LINE__)

// Stops the current case when the condition fails (later checks would only cascade).
#define REQUIRE(cond)                                                          \
    do {                                                                       \
        if (!CHECK(cond))                                                      \
            return;                                                            \
    } while (0)
