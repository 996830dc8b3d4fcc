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

bool CConversionRequest::ToOemExactly(const char* ansi, CString& oem)
{
    oem.Empty();
    const int ansiLength = lstrlenA(ansi);
    if (ansiLength == 0)
        return true;

    const int wideLength = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi, ansiLength, NULL, 0);
    if (wideLength <= 0)
        return false;
    std::vector<wchar_t> wide(static_cast<size_t>(wideLength));
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi, ansiLength, &wide[0], wideLength);

    // A UTF-8 OEM code page takes neither flag nor default-character report; it can
    // only fail on text that is not valid UTF-16.
    const bool utf8 = GetOEMCP() == CP_UTF8;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultOut = utf8 ? NULL : &usedDefault;

    const int oemLength =
        WideCharToMultiByte(CP_OEMCP, flags, &wide[0], wideLength, NULL, 0, NULL, usedDefaultOut);
    if (oemLength <= 0 || usedDefault)
        return false;
    std::vector<char> bytes(static_cast<size_t>(oemLength));
    WideCharToMultiByte(CP_OEMCP, flags, &wide[0], wideLength, &bytes[0], oemLength, NULL,
                        usedDefaultOut);
    if (usedDefault)
        return false;
    oem = CString(&bytes[0], oemLength);
    return true;
}
