#include "conversion/Preflight.h"

#include "ffmpeg/ProgressReporter.h"
#include "source/FileIdentity.h"
#include "source/SourceDownload.h"
#include "source/SourceSniffer.h"
#include "windows/Console.h"
#include "windows/TextFormat.h"
#include "windows/UniqueHandle.h"
#include "windows/WorkFolder.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

std::string Utf8(const std::wstring& path)
{
    return TextFormat::PathUtf8(path);
}

Failure Unreadable(unsigned long error)
{
    return Verdict::Fail(ExitCode::SourceUnusable, "the source cannot be read: " + TextFormat::SystemMessage(error));
}

unsigned long SecondsFromEnvironment(const wchar_t* name, unsigned long fallbackMs)
{
    wchar_t buf[32];
    DWORD n = GetEnvironmentVariableW(name, buf, 32);
    if (n > 0 && n < 32) {
        long seconds = std::wcstol(buf, nullptr, 10);
        if (seconds > 0 && seconds < 24 * 3600)
            return static_cast<unsigned long>(seconds) * 1000;
    }
    return fallbackMs;
}

} // namespace

Patience Patience::FromEnvironment()
{
    Patience p;
    p.stallMs = SecondsFromEnvironment(L"QMCONVERT_STALL_SECONDS", p.stallMs);
    p.heldWaitMs = SecondsFromEnvironment(L"QMCONVERT_HELD_SECONDS", p.heldWaitMs);
    p.staleMs = SecondsFromEnvironment(L"QMCONVERT_STALE_SECONDS", p.staleMs);
    return p;
}

Preflight::Preflight(Console& console, const Patience& patience) : m_console(console), m_patience(patience)
{
}

std::wstring Preflight::FullPath(const std::wstring& path)
{
    DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return path;
    std::wstring out(n, L'\0');
    n = GetFullPathNameW(path.c_str(), n, &out[0], nullptr);
    out.resize(n);
    return out;
}

Outcome<ConversionPaths> Preflight::Arguments(const std::vector<std::wstring>& args)
{
    if (args.size() != 2 || args[0].empty() || args[1].empty()) {
        m_console.Line("Usage: qm.bat \"source recording\" \"target.mp4\", or qm.bat \"folder\" for every recording in it");
        return Verdict::Fail(ExitCode::BadArguments, "source and target are needed, each in double quotes");
    }
    for (const std::wstring& a : args)
        if (a.find_first_of(L"*?") != std::wstring::npos)
            return Verdict::Fail(ExitCode::BadArguments, "file names must not contain * or ?");
    // The engine's own file calls take paths of any length; what it prints and hands to
    // ffmpeg (which handles long paths itself) is the plain form.
    ConversionPaths paths;
    paths.source = TextFormat::ExtendedPath(FullPath(args[0]));
    paths.target = TextFormat::ExtendedPath(FullPath(args[1]));
    paths.targetFolder = TextFormat::FolderOf(paths.target);
    m_console.Line("Source: \"" + Utf8(paths.source) + "\"");
    m_console.Line("Target: \"" + Utf8(paths.target) + "\"");
    return paths;
}

Outcome<SourceFile> Preflight::Check(ConversionPaths& paths, WorkFolder& work)
{
    DWORD attr = GetFileAttributesW(paths.source.c_str());
    if (attr == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME)
            return Verdict::Fail(ExitCode::SourceUnusable, "the source file does not exist");
        return Unreadable(error);
    }
    if (attr & FILE_ATTRIBUTE_DIRECTORY)
        return Verdict::Fail(ExitCode::SourceUnusable, "the source is a folder, not a recording");
    LARGE_INTEGER size;
    size.QuadPart = 0;
    {
        UniqueHandle src(CreateFileW(paths.source.c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!src)
            return Unreadable(GetLastError());
        GetFileSizeEx(src.Get(), &size);
    }
    if (size.QuadPart == 0)
        return Verdict::Fail(ExitCode::SourceUnusable, "the source file is empty (0 bytes)");
    if (SourceDownload::OnlineOnly(attr))
        if (Failure f = Download(paths.source))
            return f;
    unsigned long error = 0;
    std::string notRecording = SourceSniffer::Refusal(paths.source, error);
    if (error != 0)
        return Unreadable(error);
    if (!notRecording.empty())
        return Verdict::Fail(ExitCode::SourceUnusable, notRecording);
    SourceFile file;
    file.bytes = static_cast<unsigned long long>(size.QuadPart);
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    file.bounds = SourceBounds(file.bytes, system.dwNumberOfProcessors);
    if (Failure f = CheckTarget(paths, paths.source))
        return f;
    if (Failure f = FindFfmpeg(paths))
        return f;
    if (Failure f = MakeWorkFolder(paths, work))
        return f;
    return file;
}

Failure Preflight::CheckTarget(const ConversionPaths& paths, const std::wstring& sourcePath)
{
    unsigned long error = 0;
    FileIdentity sourceId;
    if (!sourceId.Read(sourcePath, error))
        return Unreadable(error);
    DWORD folderAttr = GetFileAttributesW(paths.targetFolder.c_str());
    if (folderAttr == INVALID_FILE_ATTRIBUTES || !(folderAttr & FILE_ATTRIBUTE_DIRECTORY))
        return Verdict::Fail(ExitCode::TargetProblem,
                             "the target folder \"" + Utf8(paths.targetFolder) + "\" does not exist");
    DWORD targetAttr = GetFileAttributesW(paths.target.c_str());
    if (targetAttr != INVALID_FILE_ATTRIBUTES) {
        if (targetAttr & FILE_ATTRIBUTE_DIRECTORY)
            return Verdict::Fail(ExitCode::TargetProblem, "the target is a folder; give a file name");
        // Compared by identity, not by text: a short 8.3 name, another case or another
        // path to the same file are all caught.
        FileIdentity targetId;
        if (targetId.Read(paths.target, error) && targetId.SameFileAs(sourceId))
            return Verdict::Fail(ExitCode::SourceUnusable,
                                 "the target is the source file itself; choose another target name");
    }
    return Failure();
}

Failure Preflight::FindFfmpeg(ConversionPaths& paths)
{
    wchar_t self[MAX_PATH * 4];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    std::wstring home = TextFormat::FolderOf(std::wstring(self, n));
    paths.ffmpeg = home + L"ffmpeg.exe";
    DWORD ffAttr = GetFileAttributesW(paths.ffmpeg.c_str());
    if (ffAttr != INVALID_FILE_ATTRIBUTES && !(ffAttr & FILE_ATTRIBUTE_DIRECTORY))
        return Failure();
    m_console.Line("ffmpeg.exe was looked for in \"" + Utf8(home) + "\".");
    return Verdict::Fail(ExitCode::FfmpegUnusable,
                         "ffmpeg.exe is missing - perhaps quarantined by a virus scanner (Windows Security > "
                         "Protection history); put it back beside qm.bat");
}

Failure Preflight::MakeWorkFolder(const ConversionPaths& paths, WorkFolder& work)
{
    WorkFolder::RemoveStale(paths.target, m_patience.staleMs);
    // Some folders let a folder be made but not a file (the root of C:): the MP4 could
    // never be placed there, so that is found out before ffmpeg runs.
    DWORD workError = 0;
    wchar_t probeName[48];
    std::swprintf(probeName, 48, L".qm%lx.probe", GetCurrentProcessId());
    if (!UniqueHandle(CreateFileW((paths.target + probeName).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr)))
        workError = GetLastError();
    if (workError == 0)
        workError = work.Create(paths.target);
    if (workError == 0)
        return Failure();
    std::string why = TextFormat::SystemMessage(workError);
    if (workError == ERROR_ACCESS_DENIED || workError == ERROR_WRITE_PROTECT)
        why = "access denied (read-only or no permission?)" + Verdict::AccessDeniedHint(paths.targetFolder);
    else if (workError == ERROR_DISK_FULL || workError == ERROR_HANDLE_DISK_FULL)
        why = "the drive is full";
    return Verdict::Fail(ExitCode::TargetProblem,
                         "cannot create files in the target folder \"" + Utf8(paths.targetFolder) + "\": " + why);
}

Failure Preflight::Download(const std::wstring& source)
{
    m_console.Line("Note: the recording is kept online only (OneDrive or another cloud folder); it is downloaded "
                   "to this computer first");
    DWORD lastLine = GetTickCount();
    unsigned long error = SourceDownload::Fetch(source, m_patience.stallMs, [&](long long bytes, long long size) {
        if (m_console.ReaderGone())
            return false;
        if (GetTickCount() - lastLine >= ProgressReporter::LineEveryMs) {
            char buf[96];
            std::snprintf(buf, sizeof buf, "Downloading: %lld of %lld MB", bytes >> 20, size >> 20);
            m_console.Line(buf);
            lastLine = GetTickCount();
        }
        return true;
    });
    if (error == ERROR_CANCELLED)
        throw Cancelled();
    if (error == WAIT_TIMEOUT)
        return Verdict::Fail(ExitCode::SourceUnusable,
                             "the recording is kept online only and its download made no progress for " +
                                 std::to_string(m_patience.stallMs / 1000) + " s (offline, or the cloud client paused?)");
    if (error != 0)
        return Verdict::Fail(ExitCode::SourceUnusable,
                             "the recording is kept online only and could not be downloaded: " +
                                 TextFormat::SystemMessage(error));
    return Failure();
}
