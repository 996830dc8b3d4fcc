#pragma once

#include "windows/UniqueHandle.h"

#include <string>

// The one item a run keeps beside the target: "<target>.qm<id>.tmp", a folder holding
// ffmpeg's output, its log and a lock file that stays open for the whole run. A folder of
// that pattern whose lock nobody holds belongs to a run that was killed; the next run on
// the same target removes it.
class WorkFolder
{
public:
    // Returns 0 or the Windows error that kept the folder from being made.
    unsigned long Create(const std::wstring& target);
    // Removes what is left of killed runs on this target; returns how many were removed.
    // A folder without its lock is left to stand staleMs first, and an MP4 kept in it stays.
    static int RemoveStale(const std::wstring& target, unsigned long staleMs = 60000);

    // A log this engine wrote: it begins with the header of a run's first ffmpeg run.
    static bool IsEngineLog(const std::wstring& path);
    // The header of a conversion's ffmpeg run number `run` (from 1) in the log.
    static std::string RunHeader(int run, const std::string& what);
    // "===== text =====" on a line of its own in the log, between ffmpeg's runs.
    void LogHeader(const std::string& text);

    const std::wstring& Path() const { return m_path; }
    // The current attempt's MP4: "output.mp4", then "output 2.mp4", ...
    std::wstring OutputPath() const { return m_path + L"\\" + OutputName(); }
    std::wstring OutputName() const;
    // The next attempt writes an MP4 of its own; the last one is deleted where it can be.
    void NextOutput();
    std::wstring LogPath() const { return m_path + L"\\ffmpeg.log"; }
    // Sound the recording holds in a form ffmpeg reads only in part, written out whole.
    std::wstring SoundPath() const { return m_path + L"\\sound.amr"; }
    // A recording whose index was never written, rebuilt.
    std::wstring RebuiltPath() const { return m_path + L"\\rebuilt.mp4"; }
    // A camera's chapters joined into one recording, read from there.
    std::wstring JoinedPath() const { return m_path + L"\\joined.mp4"; }
    void CloseLog();
    // Deletes the folder and what is in it.
    void Remove();
    // Where the MP4 takes the target's name `name` inside the folder: a name that is none
    // of the engine's own, so neither Remove nor a later run's sweep deletes it.
    std::wstring NamedPath(const std::wstring& name) const;
    // The MP4 could not be placed: the folder stays with it, the attempts' MP4s included.
    void KeepOutput() { m_kept = true; }

private:
    // The folder's name without its ".qm<id>.tmp", short enough that the whole stays within
    // the 255 characters of one name.
    static std::wstring Stem(const std::wstring& target);
    static bool RemoveFolder(const std::wstring& path, bool keepOutput = false);

    std::wstring m_path;
    UniqueHandle m_lock;
    UniqueHandle m_log;   // closed before the lock, as it was opened after it
    bool m_kept = false;
    int m_attempt = 1;
};
