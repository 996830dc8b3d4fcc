// Small Windows helper for the qm.bat tests, run under Wine:
//   TestAid hold <file> <release-file> <seconds>
//       opens <file> the way a player does (read, sharing read only: no rename, no
//       delete, no write by others), prints "holding", and keeps it open until
//       <release-file> exists or <seconds> have passed.
//   TestAid scan <target> <seconds>
//       stands in for a virus scanner: prints "watching", then, as soon as a conversion
//       onto <target> writes its MP4 (<target>.qm*.tmp\output.mp4, in any such folder), opens it for reading
//       without sharing its deletion, prints "holding", and holds it for <seconds>.
//   TestAid short <path>
//       prints the 8.3 short form of <path> (GetShortPathNameW).
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

void Print(const std::wstring& text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    out += "\n";
    DWORD done = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out.data(), static_cast<DWORD>(out.size()), &done, nullptr);
}

int Hold(const wchar_t* file, const wchar_t* release, const wchar_t* seconds)
{
    HANDLE h = CreateFileW(file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        Print(L"cannot open: error " + std::to_wstring(GetLastError()));
        return 1;
    }
    Print(L"holding");
    // Bounded, so a test that dies never leaves it behind for long.
    DWORD limit = static_cast<DWORD>(std::wcstoul(seconds, nullptr, 10)) * 1000;
    DWORD start = GetTickCount();
    while (GetFileAttributesW(release) == INVALID_FILE_ATTRIBUTES && GetTickCount() - start < limit)
        Sleep(100);
    CloseHandle(h);
    return 0;
}

int Scan(const std::wstring& target, const wchar_t* seconds)
{
    Print(L"watching");
    const std::wstring folder = target.substr(0, target.find_last_of(L'\\') + 1);
    HANDLE h = INVALID_HANDLE_VALUE;
    for (DWORD start = GetTickCount(); h == INVALID_HANDLE_VALUE && GetTickCount() - start < 120000;) {
        // Every work folder of the target: one an earlier run kept may lie beside this run's.
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((target + L".qm*.tmp").c_str(), &found);
        for (bool more = find != INVALID_HANDLE_VALUE; more && h == INVALID_HANDLE_VALUE;
             more = FindNextFileW(find, &found) != 0) {
            std::wstring mp4 = folder + found.cFileName + L"\\output.mp4";
            h = CreateFileW(mp4.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                            nullptr);
        }
        if (find != INVALID_HANDLE_VALUE)
            FindClose(find);
        if (h == INVALID_HANDLE_VALUE)
            Sleep(5);
    }
    if (h == INVALID_HANDLE_VALUE) {
        Print(L"no MP4 appeared");
        return 1;
    }
    Print(L"holding");
    Sleep(static_cast<DWORD>(std::wcstoul(seconds, nullptr, 10)) * 1000);
    CloseHandle(h);
    return 0;
}

int Short(const wchar_t* path)
{
    DWORD n = GetShortPathNameW(path, nullptr, 0);
    if (n == 0)
        return 1;
    std::wstring out(n, L'\0');
    n = GetShortPathNameW(path, &out[0], n);
    out.resize(n);
    Print(out);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 5 && std::wcscmp(argv[1], L"hold") == 0)
        return Hold(argv[2], argv[3], argv[4]);
    if (argc == 4 && std::wcscmp(argv[1], L"scan") == 0)
        return Scan(argv[2], argv[3]);
    if (argc == 3 && std::wcscmp(argv[1], L"short") == 0)
        return Short(argv[2]);
    Print(L"usage: TestAid hold <file> <release-file> <seconds> | scan <target> <seconds> | short <path>");
    return 2;
}
