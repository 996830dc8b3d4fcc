#pragma once

#include "CString.h"

#include <string>
#include <vector>

// The text work behind one conversion request: where the program (and qm.bat) lives,
// what the converted file is called, and the lines typed into the command interpreter.
// No window is involved, so all of it can be checked on its own.
class CConversionRequest
{
public:
    // The folder of the running program, ending with its path separator; empty when the
    // module path cannot be read.
    static CString CurrentProgramFolder();

    // Everything up to and including the last '\\' or '/' of a module path; empty when
    // it has none.
    static CString ProgramFolderOf(const char* modulePath);

    // The source path with the extension of its file name replaced by "mp4", or ".mp4"
    // appended when the file name has none. A dot in a folder name is not an extension.
    static CString TargetPathFor(const char* sourcePath);

    // Whether two paths name the same file as far as their text tells (Windows paths
    // are case-insensitive).
    static bool IsSamePath(const char* a, const char* b);

    // The line that runs the conversion script: qm.bat "source" "target".
    static CString ScriptCommand(const char* sourcePath, const char* targetPath);

    // Converts ANSI text to the OEM code page, in which the command interpreter reads
    // its piped input. Returns false, leaving `oem` empty, when some character has no
    // exact OEM counterpart (a near look-alike would name another file).
    // The code pages are the system's unless given (tests).
    static bool ToOemExactly(const char* ansi, CString& oem, unsigned ansiCodePage = 0 /* CP_ACP */,
                             unsigned oemCodePage = 1 /* CP_OEMCP */);

    // The characters of `ansi` the OEM code page lacks, each once, separated by spaces
    // (in the ANSI code page).
    static CString CharactersMissingInOem(const char* ansi, unsigned ansiCodePage = 0 /* CP_ACP */,
                                          unsigned oemCodePage = 1 /* CP_OEMCP */);

    // The chosen path (UTF-16, as the open-file dialog gives it) in the ANSI code page the
    // window works in. Returns false, leaving `ansi` empty, when some character has no
    // exact counterpart there: Windows would put a look-alike ("best fit") or '?' in its
    // place, which names another file or none. The code page is the system's unless given.
    static bool ToAnsiExactly(const wchar_t* path, CString& ansi, unsigned ansiCodePage = 0 /* CP_ACP */);

    // Why such a path is refused: the path, the characters the code page lacks (each once)
    // and what fixes it; UTF-16, for a message box that shows them all.
    static std::wstring UnholdablePathMessage(const wchar_t* path, unsigned ansiCodePage = 0 /* CP_ACP */);

    // The first "%NAME%" (also "%NAME:~1,2%" or "%NAME:a=b%") in a typed line that the
    // interpreter would replace because NAME is defined, or empty when there is none.
    static CString ExpandedVariableIn(const char* line);

    // The line that makes the program folder the interpreter's current folder: cd /d for
    // a drive path, pushd for a network path (cd cannot enter one).
    static CString ChangeFolderCommand(const char* folderOem);

    // The longest line the interpreter reads, in characters.
    static const int kLongestLine = 8191;

    // Why the request for this source cannot be typed into the interpreter, or empty when
    // it can; on success `folderLine` and `scriptLine` hold the two lines (OEM, no CR LF).
    static CString Refusal(const char* sourcePath, const char* programFolder, CString& folderLine,
                           CString& scriptLine);

    // One name dropped onto the window (ANSI): a folder is converted whole by the engine,
    // any other file as a chosen one is.
    struct DroppedItem
    {
        CString path;
        bool isFolder;
    };

    // The one line that converts everything dropped, in the order given: a file as
    // ScriptCommand does, a folder as qm.bat "folder", several chained with "call ... &"
    // (the interpreter runs them one after another; one line, as a second line typed
    // while the first conversion runs would wait for it).
    static CString DropCommand(const std::vector<DroppedItem>& items);

    // As Refusal, for the line DropCommand makes: one dropped file is refused or typed
    // exactly as a chosen one is.
    static CString DropRefusal(const std::vector<DroppedItem>& items, const char* programFolder,
                               CString& folderLine, CString& scriptLine);

    // What the "Converted File:" box shows for a drop: the target of a single file, else
    // where the MP4s go.
    static CString DropSummary(const std::vector<DroppedItem>& items);
};
