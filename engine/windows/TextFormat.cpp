#include "windows/TextFormat.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdio>
#include <cstring>

#ifdef _WIN32

std::wstring TextFormat::Utf8ToWide(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

std::string TextFormat::WideToUtf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr,
                        nullptr);
    return out;
}

#else   // the parsers' own builds on Linux (fuzzing): wchar_t holds a whole code point there

std::wstring TextFormat::Utf8ToWide(const std::string& text)
{
    std::wstring out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        unsigned long code = more == 0 ? c : c & (0x3F >> more);
        for (++i; more > 0 && i < text.size(); --more, ++i)
            code = (code << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
        out.push_back(static_cast<wchar_t>(code));
    }
    return out;
}

std::string TextFormat::WideToUtf8(const std::wstring& text)
{
    std::string out;
    for (wchar_t w : text) {
        unsigned long c = static_cast<unsigned long>(w);
        int more = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        static const unsigned char lead[4] = {0, 0xC0, 0xE0, 0xF0};
        out.push_back(static_cast<char>(lead[more] | (c >> (6 * more))));
        for (int k = more - 1; k >= 0; --k)
            out.push_back(static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F)));
    }
    return out;
}

#endif

std::string TextFormat::Clock(double seconds)
{
    if (!(seconds > 0))
        seconds = 0;
    long long s = static_cast<long long>(seconds + 0.5);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, (s / 60) % 60, s % 60);
    return buf;
}

std::string TextFormat::Size(unsigned long long bytes)
{
    char buf[48];
    if (bytes >= 1000ULL * 1000 * 1000)
        std::snprintf(buf, sizeof buf, "%.2f GB", bytes / 1e9);
    else if (bytes >= 1000ULL * 1000)
        std::snprintf(buf, sizeof buf, "%.1f MB", bytes / 1e6);
    else
        std::snprintf(buf, sizeof buf, "%llu KB", (bytes + 999) / 1000);
    return buf;
}

std::string TextFormat::Lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool TextFormat::StartsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

bool TextFormat::Contains(const std::string& text, const char* part)
{
    return text.find(part) != std::string::npos;
}

std::string TextFormat::Trim(const std::string& text)
{
    size_t b = text.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return std::string();
    size_t e = text.find_last_not_of(" \t\r\n");
    return text.substr(b, e - b + 1);
}

std::wstring TextFormat::FolderOf(const std::wstring& path)
{
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::string TextFormat::NameUtf8(const std::wstring& path)
{
    return PathUtf8(path.substr(path.find_last_of(L"\\/") + 1));
}

std::wstring TextFormat::ExtendedPath(const std::wstring& full)
{
    if (full.compare(0, 4, L"\\\\?\\") == 0 || full.compare(0, 4, L"\\\\.\\") == 0)
        return full;
    if (full.compare(0, 2, L"\\\\") == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    if (full.size() >= 3 && full[1] == L':' && (full[2] == L'\\' || full[2] == L'/'))
        return L"\\\\?\\" + full;
    return full;
}

std::wstring TextFormat::PlainPath(const std::wstring& path)
{
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0)
        return L"\\\\" + path.substr(8);
    if (path.compare(0, 4, L"\\\\?\\") == 0 && path.size() >= 6 && path[5] == L':')
        return path.substr(4);
    return path;
}

std::string TextFormat::PathUtf8(const std::wstring& path)
{
    return WideToUtf8(PlainPath(path));
}

std::string TextFormat::SystemMessage(unsigned long error)
{
#ifdef _WIN32
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out;
    if (text) {
        out = Trim(WideToUtf8(text));
        LocalFree(text);
    }
#else
    std::string out = std::strerror(static_cast<int>(error));
#endif
    // Messages written for an insert ("... for %1") lose it.
    size_t insert = out.find(" for %1");
    if (insert == std::string::npos)
        insert = out.find(" %1");
    if (insert != std::string::npos)
        out.erase(insert);
    while (!out.empty() && (out.back() == '.' || out.back() == ' '))
        out.pop_back();
    if (out.empty()) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "Windows error %lu", static_cast<unsigned long>(error));
        out = buf;
    }
    return out;
}
