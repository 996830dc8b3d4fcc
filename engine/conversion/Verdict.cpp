#include "conversion/Verdict.h"

#include "windows/Console.h"
#include "windows/TextFormat.h"
#include "windows/UniqueHandle.h"
#include "windows/WorkFolder.h"

#include <windows.h>

#include <cstdio>
#include <cwctype>

namespace {

std::string Utf8(const std::wstring& path)
{
    return TextFormat::PathUtf8(path);
}

bool DriveFull(const std::wstring& folder)
{
    // What ffmpeg says of a full drive depends on the system (under Wine: "Invalid
    // argument", the same words as a timestamp error that a re-encode mends), so after a
    // failed attempt the drive itself is asked. The unfinished MP4 still takes its room.
    const unsigned long long nearlyFull = 1024 * 1024;
    ULARGE_INTEGER available;
    return GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr) && available.QuadPart < nearlyFull;
}

} // namespace

Verdict::Verdict(Console& console, WorkFolder& work, const std::wstring& target)
    : m_console(console), m_work(work), m_target(target)
{
}

Failure Verdict::Fail(ExitCode code, const std::string& reason)
{
    Failure f;
    f.code = code;
    f.reason = reason;
    return f;
}

Failure Verdict::FailKeepingLog(ExitCode code, const std::string& reason)
{
    Failure f = Fail(code, reason);
    f.keepLog = true;
    return f;
}

Failure Verdict::CannotRunFfmpeg(unsigned long error, const std::wstring& ffmpeg)
{
    std::string why = error && error != ERROR_BAD_EXE_FORMAT ? " (" + TextFormat::SystemMessage(error) + ")"
                                                             : " (damaged, or not a Windows program?)";
    // Smart App Control, a policy or a virus scanner stops an unsigned program from starting.
    // (Older headers lack the virus errors 225 and 226.)
    if (error == ERROR_ACCESS_DENIED || error == ERROR_ACCESS_DISABLED_BY_POLICY || error == 225 || error == 226 ||
        error == 4551 /* blocked by application control */)
        why += "; Windows or a virus scanner may have blocked it (see README.txt)";
    return Fail(ExitCode::FfmpegUnusable, "ffmpeg.exe could not be run: \"" + Utf8(ffmpeg) + "\"" + why);
}

Failure Verdict::Stalled(unsigned long stallMs)
{
    unsigned long s = stallMs / 1000;
    char buf[64];
    if (s % 60 == 0)
        std::snprintf(buf, sizeof buf, "%lu minute%s", s / 60, s == 60 ? "" : "s");
    else
        std::snprintf(buf, sizeof buf, "%lu second%s", s, s == 1 ? "" : "s");
    Failure f = FailKeepingLog(ExitCode::NotConverted, std::string("ffmpeg stopped: no progress for ") + buf +
                                                           " (source unreachable, or ffmpeg stuck?)");
    f.logHeader = "qmconvert stopped ffmpeg: no progress within the time limit";
    return f;
}

Failure Verdict::StopOnWriteError(const FfmpegReportParser& report, bool attemptFailed,
                                  const std::wstring& targetFolder, const std::wstring& output)
{
    if (report.WriteError())
        return WriteFailed(report.WriteErrorLine(), false, targetFolder, output);
    if (attemptFailed && DriveFull(targetFolder))
        return WriteFailed(report.Reason(), true, targetFolder, output);
    return Failure();
}

Failure Verdict::WriteFailed(const std::string& ffmpegLine, bool driveFull, const std::wstring& targetFolder,
                             const std::wstring& output)
{
    std::string why;
    if (driveFull || TextFormat::Contains(ffmpegLine, "No space left") || TextFormat::Contains(ffmpegLine, "quota"))
        why = "the drive is full";
    else if (TextFormat::Contains(ffmpegLine, "File too large"))
        why = "the file is too large for the drive";
    else
        why = "access denied" + AccessDeniedHint(targetFolder);
    // FAT32 (most USB sticks) stops every file at 4 GiB. Asked through a handle of the
    // folder: a path beyond 260 characters is no obstacle.
    wchar_t fs[32] = L"";
    UniqueHandle folder(CreateFileW(targetFolder.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (folder && !GetVolumeInformationByHandleW(folder.Get(), nullptr, 0, nullptr, nullptr, nullptr, fs, 32))
        fs[0] = L'\0';
    if (_wcsicmp(fs, L"FAT32") == 0 || _wcsicmp(fs, L"FAT") == 0) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExW(output.c_str(), GetFileExInfoStandard, &data) && data.nFileSizeHigh == 0 &&
            data.nFileSizeLow > 0xF0000000u)
            why = "the file is too large for the drive (FAT32 holds at most 4 GB per file)";
    }
    Failure f = FailKeepingLog(ExitCode::TargetProblem, "cannot write the MP4 in \"" + Utf8(targetFolder) + "\": " + why);
    f.ffmpegSays = ffmpegLine;
    return f;
}

std::string Verdict::AccessDeniedHint(const std::wstring& folder)
{
    static const wchar_t* const protectedFolders[] = {L"\\documents\\", L"\\my documents\\", L"\\pictures\\",
                                                      L"\\videos\\", L"\\music\\", L"\\desktop\\",
                                                      L"\\favorites\\"};
    std::wstring lower = folder;
    if (lower.empty() || lower.back() != L'\\')
        lower += L'\\';
    for (wchar_t& c : lower)
        c = static_cast<wchar_t>(towlower(c));
    for (const wchar_t* p : protectedFolders)
        if (lower.find(p) != std::wstring::npos)
            return "; Windows' Controlled Folder Access may be blocking it: allow qmconvert.exe and "
                   "ffmpeg.exe under Windows Security > Ransomware protection, or choose another folder";
    return std::string();
}

Failure Verdict::Bound(LimitReached limit) const
{
    std::string source = TextFormat::Size(m_bytes);
    std::string why;
    switch (limit) {
    case LimitReached::Memory:
        if (!m_largePicture.empty())
            why = "ffmpeg needed more memory for pictures of " + m_largePicture + " than the " +
                  std::to_string(SourceBounds::MemoryBytes >> 20) +
                  " MB it may take, and was stopped (it re-encodes pictures up to 4K)";
        else
            why = "ffmpeg needed more memory for this recording than the " +
                  std::to_string(SourceBounds::MemoryBytes >> 20) +
                  " MB it may take, and was stopped (damaged, or made to exhaust memory?)";
        break;
    case LimitReached::Output:
        why = "the MP4 grew past " + TextFormat::Size(m_bounds.OutputBytes()) + " from a recording of " + source +
              " and was stopped: it repeats its pictures (damaged, or made to fill the disk?)";
        break;
    case LimitReached::Frames:
        why = "ffmpeg read more than " + std::to_string(m_bounds.Frames()) + " frames from a recording of " + source +
              ", more than its bytes can hold, and was stopped: it repeats its pictures (damaged, or made to fill "
              "the disk?)";
        break;
    default:
        why = "ffmpeg read more than " + TextFormat::Clock(m_bounds.Seconds()) + " of recording from a file of " +
              source + ", more than its bytes can hold, and was stopped (damaged, or made to run for hours?)";
    }
    Failure f = FailKeepingLog(ExitCode::NotConverted, why);
    f.logHeader = "qmconvert stopped ffmpeg: it reached a bound of this recording";
    return f;
}

void Verdict::MoveLogBesideTarget()
{
    // ffmpeg's log goes beside the target, where the user looks for the MP4. Only a log of
    // an earlier run is replaced: a file of that name that is not one (the user's own, the
    // source itself) stays, and the log takes the next free name.
    m_work.CloseLog();
    for (int i = 0; i < 100 && !m_work.Path().empty(); ++i) {
        std::wstring log = m_target + (i == 0 ? std::wstring(L".log")
                                              : L".qmconvert" + (i == 1 ? std::wstring() : L" " + std::to_wstring(i)) +
                                                    L".log");
        DWORD attr = GetFileAttributesW(log.c_str());
        if (attr != INVALID_FILE_ATTRIBUTES && !WorkFolder::IsEngineLog(log))
            continue;
        if (MoveFileExW(m_work.LogPath().c_str(), log.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
            m_console.Line("ffmpeg log: \"" + Utf8(log) + "\"");
        break;
    }
}

int Verdict::End(const Failure& failure)
{
    if (!failure.logHeader.empty())
        m_work.LogHeader(failure.logHeader);
    if (!failure.ffmpegSays.empty())
        m_console.Line("ffmpeg says: \"" + failure.ffmpegSays + "\"");
    if (failure.keepLog)
        MoveLogBesideTarget();
    m_work.Remove();
    m_console.Line("Conversion failed: " + failure.reason);
    return static_cast<int>(failure.code);
}

int Verdict::Succeeded()
{
    // A log left by an earlier failed run on this target no longer tells anything; a file of
    // that name the engine did not write is the user's.
    std::wstring oldLog = m_target + L".log";
    if (WorkFolder::IsEngineLog(oldLog))
        DeleteFileW(oldLog.c_str());
    m_work.Remove();
    m_console.Line("Conversion succeeded: \"" + Utf8(m_target) + "\"");
    return static_cast<int>(ExitCode::Converted);
}

int Verdict::Abandoned()
{
    // The window was closed or started another conversion: its lines reach nobody. ffmpeg
    // is stopped; nothing of this run stays beside the recording.
    m_work.Remove();
    return static_cast<int>(ExitCode::NotConverted);
}
