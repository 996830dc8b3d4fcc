// qmconvert "<source>" "<target>": turns a camera recording into a checked MP4 with the
// ffmpeg.exe beside this program. qm.bat is its front door.

#include "conversion/Conversion.h"
#include "windows/CommandLineSplitter.h"
#include "windows/ConsoleWriter.h"

#include <windows.h>

int main()
{
    DWORD start = GetTickCount();
    // No "Windows error" boxes for a missing disk or a crashing child under the hidden console.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    ConsoleWriter console;
    Conversion conversion(console, start);
    return conversion.Run(CommandLineSplitter::Arguments(GetCommandLineW()));
}
