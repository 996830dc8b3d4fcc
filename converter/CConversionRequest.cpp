#include "CConversionRequest.h"

#include "CWinApp.h"

#include <windows.h>

#include <vector>

namespace {

// Offset of the file name in a path: just past its last '\\' or '/'. The walk goes by
// character, as in a double-byte code page the second byte of a character may be '\\'.
int FileNameStart(const char* path)
{
    int start = 0;
    for (const char* p = path; *p != '\0'; p = CharNextA(p))
        if (*p == '\\' || *p == '/')
            start = static_cast<int>(p - path) + 1;
    return start;
}

// Names the interpreter defines by itself when the environment does not.
const char* const kInterpreterNames[] = {"CD", "DATE", "TIME", "RANDOM", "ERRORLEVEL",
                                         "CMDEXTVERSION", "CMDCMDLINE", "HIGHESTNUMANODENUMBER",
                                         "__CD__", "__APPDIR__", "PROMPT"};

bool InterpreterDefines(const CString& name)
{
    if (name.IsEmpty())
        return false;
    if (name[0] == '=')   // per-drive folders (=C:) and =ExitCode
        return true;
    for (const char* known : kInterpreterNames)
        if (name.CompareNoCase(known) == 0)
            return true;
    char value[2];
    SetLastError(ERROR_SUCCESS);
    return GetEnvironmentVariableA(name, value, sizeof value) > 0 ||
           GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

int CharacterCount(const char* ansi)
{
    const int length = lstrlenA(ansi);
    return length == 0 ? 0 : MultiByteToWideChar(CP_ACP, 0, ansi, length, NULL, 0);
}

// "<what> ... :" + the quoted path on a line of its own, so no full stop reads as part
// of it, + how to fix it.
CString Explain(const CString& what, const char* path, const char* fix)
{
    return what + "\r\n\r\n\"" + path + "\"\r\n\r\n" + fix;
}

} // namespace

CString CConversionRequest::CurrentProgramFolder()
{
    CString modulePath;
    if (!AfxGetModuleFileName(NULL, modulePath))
        return CString();
    return ProgramFolderOf(modulePath);
}

CString CConversionRequest::ProgramFolderOf(const char* modulePath)
{
    return CString(modulePath, FileNameStart(modulePath));
}

CString CConversionRequest::TargetPathFor(const char* sourcePath)
{
    const int nameStart = FileNameStart(sourcePath);
    int dot = -1;
    for (const char* p = sourcePath + nameStart; *p != '\0'; p = CharNextA(p))
        if (*p == '.')
            dot = static_cast<int>(p - sourcePath);
    if (dot < 0)
        return CString(sourcePath) + ".mp4";
    return CString(sourcePath, dot + 1) + "mp4";
}

bool CConversionRequest::IsSamePath(const char* a, const char* b)
{
    return CString(a).CompareNoCase(b) == 0;
}

CString CConversionRequest::ScriptCommand(const char* sourcePath, const char* targetPath)
{
    return CString("qm.bat \"") + sourcePath + "\" \"" + targetPath + "\"";
}

namespace {

std::wstring ToWide(const char* text, UINT codePage)
{
    const int length = lstrlenA(text);
    const int wideLength = length == 0 ? 0 : MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text, length, NULL, 0);
    if (wideLength <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(wideLength), L'\0');
    MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text, length, &wide[0], wideLength);
    return wide;
}

// The code page's bytes for exactly this UTF-16 text; false when some character has no
// exact counterpart (no best fit, no default character).
bool FromWideExactly(const wchar_t* wide, int wideLength, UINT codePage, CString& out)
{
    out.Empty();
    if (wideLength == 0)
        return true;
    if (codePage == CP_ACP)
        codePage = GetACP();
    else if (codePage == CP_OEMCP)
        codePage = GetOEMCP();
    // UTF-8 (and the other code pages that take no flags) can only fail on text that is
    // not valid UTF-16; they report no default character.
    const bool noFlags = codePage == CP_UTF8 || codePage == CP_UTF7 || codePage == 54936 ||
                         (codePage >= 50220 && codePage <= 50229) || (codePage >= 57002 && codePage <= 57011);
    const DWORD flags = codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : (noFlags ? 0 : WC_NO_BEST_FIT_CHARS);
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultOut = noFlags ? NULL : &usedDefault;
    const int length = WideCharToMultiByte(codePage, flags, wide, wideLength, NULL, 0, NULL, usedDefaultOut);
    if (length <= 0 || usedDefault)
        return false;
    std::vector<char> bytes(static_cast<size_t>(length));
    WideCharToMultiByte(codePage, flags, wide, wideLength, &bytes[0], length, NULL, usedDefaultOut);
    if (usedDefault)
        return false;
    out = CString(&bytes[0], length);
    return true;
}

// The text's characters one by one: a character outside the basic plane is two UTF-16 units.
std::vector<std::wstring> CodePoints(const std::wstring& wide)
{
    std::vector<std::wstring> characters;
    for (size_t i = 0; i < wide.size();) {
        const size_t units = IS_HIGH_SURROGATE(wide[i]) && i + 1 < wide.size() && IS_LOW_SURROGATE(wide[i + 1]) ? 2 : 1;
        characters.push_back(wide.substr(i, units));
        i += units;
    }
    return characters;
}

} // namespace

bool CConversionRequest::ToOemExactly(const char* ansi, CString& oem, unsigned ansiCodePage, unsigned oemCodePage)
{
    oem.Empty();
    if (lstrlenA(ansi) == 0)
        return true;
    const std::wstring wide = ToWide(ansi, ansiCodePage);
    return !wide.empty() && FromWideExactly(wide.c_str(), static_cast<int>(wide.size()), oemCodePage, oem);
}

CString CConversionRequest::CharactersMissingInOem(const char* ansi, unsigned ansiCodePage, unsigned oemCodePage)
{
    // Converted once and tested a code point at a time: in UTF-8 or a double-byte code
    // page a character is several bytes, and no byte means anything on its own.
    CString missing;
    for (const std::wstring& character : CodePoints(ToWide(ansi, ansiCodePage))) {
        const int units = static_cast<int>(character.size());
        CString oem, inAnsi;
        if (!FromWideExactly(character.c_str(), units, oemCodePage, oem) &&
            FromWideExactly(character.c_str(), units, ansiCodePage, inAnsi) && missing.Find(inAnsi) < 0) {
            if (!missing.IsEmpty())
                missing += " ";
            missing += inAnsi;
        }
    }
    return missing;
}

bool CConversionRequest::ToAnsiExactly(const wchar_t* path, CString& ansi, unsigned ansiCodePage)
{
    return FromWideExactly(path, lstrlenW(path), ansiCodePage, ansi);
}

std::wstring CConversionRequest::UnholdablePathMessage(const wchar_t* path, unsigned ansiCodePage)
{
    const std::wstring wide(path);
    std::wstring missing;
    for (const std::wstring& character : CodePoints(wide)) {
        CString ansi;
        if (!FromWideExactly(character.c_str(), static_cast<int>(character.size()), ansiCodePage, ansi) &&
            (L" " + missing + L" ").find(L" " + character + L" ") == std::wstring::npos)
            missing += (missing.empty() ? L"" : L" ") + character;
    }
    wchar_t codePage[16];
    wsprintfW(codePage, L"%u", ansiCodePage == CP_ACP ? GetACP() : ansiCodePage);
    return L"This program cannot use the chosen file: its path has characters that this system's code page (" +
           std::wstring(codePage) + L") does not hold: " + missing + L"\r\n\r\n\"" + wide +
           L"\"\r\n\r\nWindows would hand the program a look-alike name instead, which may be another "
           L"recording. Renaming the file (or its folder) with other characters, or converting on a system "
           L"set to that language, fixes it.";
}

CString CConversionRequest::ExpandedVariableIn(const char* line)
{
    const CString text(line);
    // The interpreter pairs each '%' with the next one; when the name between is not
    // defined it keeps the first '%' and goes on from the next character.
    for (int start = text.Find('%'); start >= 0; start = text.Find('%', start + 1)) {
        const int end = text.Find('%', start + 1);
        if (end < 0)
            break;
        CString name = text.Mid(start + 1, end - start - 1);
        const int edit = name.Find(':');
        if (edit >= 0)
            name = name.Left(edit);
        if (InterpreterDefines(name))
            return text.Mid(start, end - start + 1);
    }
    return CString();
}

CString CConversionRequest::ChangeFolderCommand(const char* folderOem)
{
    const CString folder(folderOem);
    if (folder.Left(2) == "\\\\")
        return "pushd \"" + folder + "\"";
    return "cd /d \"" + folder + "\"";
}

namespace {

const char* const kRenameFile = "Renaming the file (or its folder) fixes it.";
const char* const kRenameFolder = "Renaming the folder fixes it.";
const char* const kMoveProgram = "Moving the program to another folder fixes it.";

// The characters of `path` the interpreter cannot receive, explained; empty when none.
CString MissingInOemRefusal(const char* path, const char* where, const char* fix)
{
    const CString missing = CConversionRequest::CharactersMissingInOem(path);
    if (missing.IsEmpty())
        return CString();
    return Explain(CString("The command interpreter cannot receive these characters of the ") + where + ": " +
                   missing, path, fix);
}

CString ReplacedVariable(const CString& variable, const char* where, const char* consequence)
{
    return "The command interpreter would replace " + variable + " in the " + where +
           " with the value of an environment variable" + consequence;
}

// qm.bat repeats the arguments after the program folder in a line of its own. `path`,
// when given, is quoted (shortened) in the message.
CString TooLongRefusal(const char* command, const char* programFolder, const char* subject, const char* path,
                       const char* fix)
{
    const int longest = CharacterCount(command) + CharacterCount(programFolder) + 32;
    if (longest <= CConversionRequest::kLongestLine)
        return CString();
    CString what;
    what.Format("The command for %s would be about %d characters long, and the command interpreter "
                "takes at most 8191", subject, longest);
    if (path == NULL)
        return what + "\r\n\r\n" + fix;
    CString shown(path);
    if (shown.GetLength() > 120)
        shown = shown.Left(120) + "...";
    return Explain(what, shown, fix);
}

} // namespace

CString CConversionRequest::Refusal(const char* sourcePath, const char* programFolder,
                                    CString& folderLine, CString& scriptLine)
{
    folderLine.Empty();
    scriptLine.Empty();
    if (*programFolder == '\0')
        return "The program's own folder could not be determined, so the conversion script "
               "cannot be found.";
    const CString targetPath = TargetPathFor(sourcePath);
    if (IsSamePath(targetPath, sourcePath))
        return "The file is already an MP4 file: converting it would overwrite it. Please "
               "choose a different source file.";

    CString refusal = MissingInOemRefusal(programFolder, "program's folder", kMoveProgram);
    if (refusal.IsEmpty())
        refusal = MissingInOemRefusal(sourcePath, "file's path", kRenameFile);
    if (!refusal.IsEmpty())
        return refusal;

    CString variable = ExpandedVariableIn(programFolder);
    if (!variable.IsEmpty())
        return Explain(ReplacedVariable(variable, "program's folder", ""), programFolder, kMoveProgram);
    const CString command = ScriptCommand(sourcePath, targetPath);
    variable = ExpandedVariableIn(command);
    if (!variable.IsEmpty())
        return Explain(ReplacedVariable(variable, "file's path", ", and the conversion would use another file"),
                       sourcePath, kRenameFile);

    refusal = TooLongRefusal(command, programFolder, "this file", sourcePath,
                             "Moving the file to a folder with a shorter path fixes it.");
    if (!refusal.IsEmpty())
        return refusal;
    CString folderOem, commandOem;
    ToOemExactly(programFolder, folderOem);
    ToOemExactly(command, commandOem);
    folderLine = ChangeFolderCommand(folderOem);
    scriptLine = commandOem;
    return CString();
}

namespace {

// qm.bat "folder". A trailing backslash (a drive's root) would escape the closing quote
// in the engine's reading of its arguments: "C:\." names the same folder without one.
CString FolderCommand(const char* folder)
{
    const int length = lstrlenA(folder);
    const bool endsInBackslash = length > 0 && FileNameStart(folder) == length && folder[length - 1] == '\\';
    return CString("qm.bat \"") + folder + (endsInBackslash ? ".\"" : "\"");
}

CString ItemCommand(const CConversionRequest::DroppedItem& item)
{
    if (item.isFolder)
        return FolderCommand(item.path);
    return CConversionRequest::ScriptCommand(item.path, CConversionRequest::TargetPathFor(item.path));
}

} // namespace

CString CConversionRequest::DropCommand(const std::vector<DroppedItem>& items)
{
    if (items.size() == 1)
        return ItemCommand(items[0]);
    CString line;
    for (const DroppedItem& item : items) {
        if (!line.IsEmpty())
            line += " & ";
        // call: each qm.bat runs to its end and comes back to the line for the next.
        line += "call " + ItemCommand(item);
    }
    return line;
}

CString CConversionRequest::DropRefusal(const std::vector<DroppedItem>& items, const char* programFolder,
                                        CString& folderLine, CString& scriptLine)
{
    folderLine.Empty();
    scriptLine.Empty();
    if (items.size() == 1 && !items[0].isFolder)
        return Refusal(items[0].path, programFolder, folderLine, scriptLine);
    if (items.empty())
        return "Nothing was dropped.";
    if (*programFolder == '\0')
        return "The program's own folder could not be determined, so the conversion script "
               "cannot be found.";
    const char* const dropWithout = "Dropping the others without it fixes it.";
    for (const DroppedItem& item : items)
        if (!item.isFolder && IsSamePath(TargetPathFor(item.path), item.path))
            return Explain("This file is already an MP4 file: converting it would overwrite it", item.path,
                           dropWithout);

    CString refusal = MissingInOemRefusal(programFolder, "program's folder", kMoveProgram);
    for (size_t i = 0; refusal.IsEmpty() && i < items.size(); ++i)
        refusal = MissingInOemRefusal(items[i].path, items[i].isFolder ? "folder's path" : "file's path",
                                      items[i].isFolder ? kRenameFolder : kRenameFile);
    if (!refusal.IsEmpty())
        return refusal;

    CString variable = ExpandedVariableIn(programFolder);
    if (!variable.IsEmpty())
        return Explain(ReplacedVariable(variable, "program's folder", ""), programFolder, kMoveProgram);
    for (const DroppedItem& item : items) {
        variable = ExpandedVariableIn(ItemCommand(item));
        if (!variable.IsEmpty())
            return Explain(ReplacedVariable(variable, item.isFolder ? "folder's path" : "file's path",
                                            ", and the conversion would use another one"),
                           item.path, item.isFolder ? kRenameFolder : kRenameFile);
        // call hands its command line on with every '^' doubled, quoted ones too.
        if (items.size() > 1 && CString(item.path).Find('^') >= 0)
            return Explain("The command interpreter would change the ^ in this path when it converts "
                           "several dropped items in a row, and the conversion would use another one",
                           item.path, "Dropping it on its own fixes it.");
    }
    const CString command = DropCommand(items);
    // The '%' of one name may pair with one of the next.
    variable = ExpandedVariableIn(command);
    if (!variable.IsEmpty())
        return ReplacedVariable(variable, "dropped paths", ", and the conversion would use other ones") +
               "\r\n\r\nDropping the items one at a time fixes it.";

    refusal = items.size() == 1
                  ? TooLongRefusal(command, programFolder, "this folder", items[0].path,
                                   "Moving the folder to a shorter path fixes it.")
                  : TooLongRefusal(command, programFolder, "the dropped items", NULL,
                                   "Dropping fewer items at once, or dropping their folder, fixes it.");
    if (!refusal.IsEmpty())
        return refusal;
    CString folderOem, commandOem;
    ToOemExactly(programFolder, folderOem);
    ToOemExactly(command, commandOem);
    folderLine = ChangeFolderCommand(folderOem);
    scriptLine = commandOem;
    return CString();
}

CString CConversionRequest::DropSummary(const std::vector<DroppedItem>& items)
{
    if (items.size() == 1)
        return items[0].isFolder ? "Converted Files: beside the recordings in " + items[0].path
                                 : "Converted File: " + TargetPathFor(items[0].path);
    CString summary;
    summary.Format("Converted Files: beside the recordings of the %d dropped items",
                   static_cast<int>(items.size()));
    return summary;
}
