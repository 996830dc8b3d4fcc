// qmconvert "<source>" "<target>": turns a camera recording into a checked MP4 with the
// ffmpeg.exe beside this program; qmconvert "<folder>" [--join-segments]: every recording in
// it and below, each beside itself, a camera's chapters joined. qm.bat is its front door.

#include "conversion/Conversion.h"
#include "conversion/FolderConversion.h"
#include "windows/CommandLineSplitter.h"
#include "windows/ConsoleWriter.h"

#include <windows.h>

static int Run(ConsoleWriter& console, const std::vector<std::wstring>& args, DWORD start)
{
    // qmconvert "<folder>" [--join-segments]
    bool joinSegments = args.size() == 2 && args[1] == L"--join-segments";
    if ((args.size() == 1 || joinSegments) && !args[0].empty()) {
        DWORD attr = GetFileAttributesW(args[0].c_str());
        if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY))
            return FolderConversion(console).Run(args[0], joinSegments);
    }
    Conversion conversion(console, start);
    return conversion.Run(args);
}

int main()
{
    DWORD start = GetTickCount();
    // No "Windows error" boxes for a missing disk or a crashing child under the hidden console.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    ConsoleWriter console;
    std::vector<std::wstring> args = CommandLineSplitter::Arguments(GetCommandLineW());
    int code = Run(console, args, start);
    if (ConsoleWriter::Interrupted())
        console.Line("Conversion failed: stopped (Ctrl+C); the recording in progress is as it was, and nothing of "
                     "its conversion is left");
    ConsoleWriter::Ended();
    return code;
}
