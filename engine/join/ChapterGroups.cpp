#include "join/ChapterGroups.h"

#include "join/ChapterJoin.h"
#include "windows/Console.h"
#include "windows/TextFormat.h"

#include <cwctype>
#include <map>
#include <string>
#include <memory>

namespace {

bool Digits(const std::wstring& s, size_t at, size_t n)
{
    for (size_t i = at; i < at + n; ++i)
        if (i >= s.size() || !std::iswdigit(s[i]))
            return false;
    return true;
}

// Chapters in order as runs that each continue the last; what breaks a run is said.
class Runs
{
public:
    Runs(Console& console, std::vector<std::vector<std::wstring>>& units) : m_console(console), m_units(units) {}

    // The next file of a run that may continue (by its name); `gap`: the name says a chapter
    // is missing before it (what to say), "" when none is.
    void Add(const std::wstring& path, const std::string& gap, bool quiet)
    {
        std::unique_ptr<ChapterIndex> index(new ChapterIndex);
        std::string unreadable = ChapterJoin::Read(path, *index);
        if (!m_run.empty() && !gap.empty()) {
            m_console.Line("Not joined: \"" + TextFormat::NameUtf8(path) + "\": " + gap);
            Close();
        }
        if (!unreadable.empty()) {
            if (!quiet)
                m_console.Line("Not joined: \"" + TextFormat::NameUtf8(path) + "\": " + unreadable +
                               "; it is converted on its own");
            Close();
            m_units.push_back({path});
            return;
        }
        if (!m_run.empty() && m_run.size() < ChapterJoin::MostChapters) {
            std::string why = ChapterJoin::Continues(*m_first, m_last ? *m_last : *m_first, m_ticks, *index);
            if (why.empty()) {
                m_run.push_back(path);
                ChapterJoin::AddTicks(*index, m_ticks);
                m_last = std::move(index);
                return;
            }
            if (!quiet)
                m_console.Line("Not joined: \"" + TextFormat::NameUtf8(path) + "\" does not continue \"" +
                               TextFormat::NameUtf8(m_run.back()) + "\": " + why);
        }
        Close();
        m_run.push_back(path);
        ChapterJoin::AddTicks(*index, m_ticks);
        m_first = std::move(index);
    }

    void Close()
    {
        if (!m_run.empty())
            m_units.push_back(m_run);
        m_run.clear();
        m_ticks.clear();
        m_first.reset();
        m_last.reset();
    }

private:
    Console& m_console;
    std::vector<std::vector<std::wstring>>& m_units;
    std::vector<std::wstring> m_run;
    std::unique_ptr<ChapterIndex> m_first, m_last;   // m_last: null while the run holds one
    std::vector<uint64_t> m_ticks;                    // each track's lengths over the run
};

} // namespace

int ChapterGroups::ChapterOf(const std::wstring& stem, std::wstring& recording)
{
    std::wstring s;
    for (wchar_t c : stem)
        s += static_cast<wchar_t>(std::towupper(c));
    if (s.size() != 8 || s[0] != L'G')
        return 0;
    if (s.compare(0, 4, L"GOPR") == 0 && Digits(s, 4, 4)) {
        recording = L"GOPR" + s.substr(4);
        return 1;
    }
    if (s[1] == L'P' && Digits(s, 2, 6)) {   // the older cameras' later chapters: GP01xxxx is the second
        recording = L"GOPR" + s.substr(4);
        return std::stoi(s.substr(2, 2)) + 1;
    }
    if (std::iswupper(s[1]) && Digits(s, 2, 6) && s.compare(2, 2, L"00") != 0) {
        recording = s.substr(0, 2) + s.substr(4);
        return std::stoi(s.substr(2, 2));
    }
    return 0;
}

std::vector<std::vector<std::wstring>> ChapterGroups::Units(const std::vector<std::wstring>& recordings,
                                                           bool joinSegments, Console& console)
{
    std::map<std::wstring, std::map<int, std::wstring>> chapters;   // by folder and recording
    std::vector<std::wstring> keys;
    for (const std::wstring& r : recordings) {
        std::wstring recording, name = r.substr(r.find_last_of(L"\\/") + 1);
        int n = ChapterOf(name.substr(0, name.find_last_of(L'.')), recording);
        keys.push_back(n ? TextFormat::FolderOf(r) + recording : std::wstring());
        if (n)
            chapters[keys.back()][n] = r;
    }
    std::vector<std::vector<std::wstring>> units;
    Runs runs(console, units);
    std::wstring segmentFolder;
    for (size_t i = 0; i < recordings.size(); ++i) {
        const std::wstring& r = recordings[i];
        auto group = keys[i].empty() ? chapters.end() : chapters.find(keys[i]);
        if (group != chapters.end() && group->second.size() > 1) {
            if (group->second.begin()->second != r)
                continue;   // joined with its first chapter
            runs.Close();
            int last = 0;
            for (const auto& chapter : group->second) {
                std::string gap;
                if (chapter.first != last + 1)
                    gap = "chapter " + std::to_string(last + 1) +
                          (chapter.first > last + 2 ? " to " + std::to_string(chapter.first - 1) : std::string()) +
                          " of this recording is missing before it";
                if (last == 0 && !gap.empty())
                    console.Line("Note: \"" + TextFormat::NameUtf8(chapter.second) + "\": " + gap +
                                 "; the MP4 starts with it");
                runs.Add(chapter.second, last ? gap : std::string(), false);
                last = chapter.first;
            }
            runs.Close();
            continue;
        }
        if (!joinSegments) {
            units.push_back({r});
            continue;
        }
        if (TextFormat::FolderOf(r) != segmentFolder)
            runs.Close();
        segmentFolder = TextFormat::FolderOf(r);
        runs.Add(r, std::string(), true);
    }
    runs.Close();
    return units;
}
