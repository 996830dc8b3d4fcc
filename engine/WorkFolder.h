#pragma once

#include <string>

// The one item a run keeps beside the target: "<target>.qm<id>.tmp", a folder holding
// ffmpeg's output, its log and a lock file that stays open for the whole run. A folder of
// that pattern whose lock nobody holds belongs to a run that was killed; the next run on
// the same target removes it.
class WorkFolder
{
public:
    WorkFolder() = default;
    ~WorkFolder();
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;

    // Returns 0 or the Windows error that kept the folder from being made.
    unsigned long Create(const std::wstring& target);
    // Removes what is left of killed runs on this target; returns how many were removed.
    static int RemoveStale(const std::wstring& target);

    // A log this engine wrote: it begins with the header of a run's first ffmpeg run.
    static bool IsEngineLog(const std::wstring& path);

    const std::wstring& Path() const { return m_path; }
    std::wstring OutputPath() const { return m_path + L"\\output.mp4"; }
    std::wstring LogPath() const { return m_path + L"\\ffmpeg.log"; }
    // Sound the recording holds in a form ffmpeg reads only in part, written out whole.
    std::wstring SoundPath() const { return m_path + L"\\sound.amr"; }
    void* LogFile() const { return m_log; }
    void CloseLog();
    // Deletes the folder and what is in it.
    void Remove();
    // Keeps the MP4 in the folder as `name`, for good; returns where it is.
    std::wstring Keep(const std::wstring& name);

private:
    static bool RemoveFolder(const std::wstring& path);

    std::wstring m_path;
    void* m_lock = nullptr;
    void* m_log = nullptr;
    bool m_kept = false;
};
