#include "windows/CommandLineSplitter.h"

std::vector<std::wstring> CommandLineSplitter::Arguments(const std::wstring& line)
{
    std::vector<std::wstring> args;
    size_t i = 0;
    const size_t n = line.size();
    // The program name: up to the next space, or quoted, with no backslash rules.
    if (i < n && line[i] == L'"') {
        ++i;
        while (i < n && line[i] != L'"')
            ++i;
        if (i < n)
            ++i;
    } else {
        while (i < n && line[i] != L' ' && line[i] != L'\t')
            ++i;
    }
    for (;;) {
        while (i < n && (line[i] == L' ' || line[i] == L'\t'))
            ++i;
        if (i >= n)
            break;
        std::wstring arg;
        bool quoted = false;
        while (i < n && (quoted || (line[i] != L' ' && line[i] != L'\t'))) {
            if (line[i] == L'\\') {
                size_t slashes = 0;
                while (i < n && line[i] == L'\\') {
                    ++slashes;
                    ++i;
                }
                if (i < n && line[i] == L'"') {
                    arg.append(slashes / 2, L'\\');
                    if (slashes % 2) {
                        arg += L'"';
                        ++i;
                    }
                } else {
                    arg.append(slashes, L'\\');
                }
            } else if (line[i] == L'"') {
                if (quoted && i + 1 < n && line[i + 1] == L'"') {
                    arg += L'"';   // "" inside quotes: a literal quote
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                ++i;
            } else {
                arg += line[i++];
            }
        }
        args.push_back(arg);
    }
    return args;
}
