#include "CFileDialog.h"

#include "CWinApp.h"
#include "CWnd.h"

namespace {

const DWORD kFileNameChars = 32768;

// `length` bytes of ANSI text (NULs included) as UTF-16.
std::wstring Widened(const char* text, int length)
{
    if (length <= 0)
        return std::wstring();
    const int wideLength = ::MultiByteToWideChar(CP_ACP, 0, text, length, NULL, 0);
    std::wstring wide(static_cast<size_t>(wideLength > 0 ? wideLength : 0), L'\0');
    if (wideLength > 0)
        ::MultiByteToWideChar(CP_ACP, 0, text, length, &wide[0], wideLength);
    return wide;
}

std::wstring Widened(const char* text)
{
    return text != NULL ? Widened(text, lstrlenA(text)) : std::wstring();
}

// A list of NUL-terminated strings ended by an empty one, its NULs kept.
std::wstring WidenedList(const char* text)
{
    if (text == NULL)
        return std::wstring();
    const char* end = text;
    while (*end != '\0')
        end += lstrlenA(end) + 1;
    return Widened(text, static_cast<int>(end - text) + 1);
}

} // namespace

CFileDialog::CFileDialog(BOOL openFileDialog, const char* defaultExtension, const char* fileName,
                         DWORD flags, const char* filter, CWnd* parent, DWORD structSize)
    : m_bOpenFileDialog(openFileDialog),
      m_pParentWnd(parent),
      m_fileName(kFileNameChars, '\0')
{
    ZeroMemory(&m_ofn, sizeof m_ofn);
    m_ofn.lStructSize = structSize != 0 && structSize <= sizeof m_ofn ? structSize : sizeof m_ofn;
    m_ofn.Flags = flags | OFN_EXPLORER;

    if (filter != NULL) {
        // '|' may be the second byte of a double-byte character: walk by character.
        for (const char* p = filter; *p != '\0';) {
            const char* next = ::CharNextA(p);
            if (*p == '|' && next == p + 1)
                m_filter += '\0';
            else
                m_filter.append(p, next - p);
            p = next;
        }
        m_filter.append(2, '\0');   // the list ends with an empty string
        m_ofn.lpstrFilter = m_filter.c_str();
    }
    if (defaultExtension != NULL) {
        m_defaultExtension = defaultExtension;
        m_ofn.lpstrDefExt = m_defaultExtension.c_str();
    }
    if (fileName != NULL)
        lstrcpynA(&m_fileName[0], fileName, kFileNameChars);
    m_ofn.lpstrFile = &m_fileName[0];
    m_ofn.nMaxFile = kFileNameChars;
}

INT_PTR CFileDialog::DoModal()
{
    // Without a parent the dialog belongs to the main window, which stays disabled
    // while the dialog is up.
    HWND owner = m_pParentWnd != NULL ? m_pParentWnd->GetSafeHwnd() : NULL;
    if (owner == NULL) {
        CWnd* mainWnd = AfxGetMainWnd();
        if (mainWnd != NULL && ::IsWindow(mainWnd->GetSafeHwnd()))
            owner = mainWnd->GetSafeHwnd();
    }
    m_ofn.hwndOwner = owner;

    // The dialog library (and the shell it pulls in) is loaded when a dialog is first
    // shown, not at start-up: most of a start's memory would otherwise go to it.
    typedef BOOL(WINAPI * ShowFunction)(LPOPENFILENAMEW);
    typedef DWORD(WINAPI * ErrorFunction)();
    static HMODULE library = ::LoadLibraryA("comdlg32.dll");
    ShowFunction show = NULL;
    ErrorFunction lastError = NULL;
    if (library != NULL) {
        show = reinterpret_cast<ShowFunction>(reinterpret_cast<void*>(
            ::GetProcAddress(library, m_bOpenFileDialog ? "GetOpenFileNameW" : "GetSaveFileNameW")));
        lastError = reinterpret_cast<ErrorFunction>(
            reinterpret_cast<void*>(::GetProcAddress(library, "CommDlgExtendedError")));
    }
    if (show == NULL || lastError == NULL) {
        AfxMessageBox("The file dialog could not be shown (comdlg32.dll is missing).",
                      MB_OK | MB_ICONERROR);
        return IDCANCEL;
    }

    // The wide dialog: the narrow one would hand back a look-alike ("best fit") for a
    // character of the name the ANSI code page lacks, and so the name of another file.
    const std::wstring filter = WidenedList(m_ofn.lpstrFilter);
    const std::wstring defaultExtension = Widened(m_ofn.lpstrDefExt);
    const std::wstring title = Widened(m_ofn.lpstrTitle);
    std::vector<wchar_t> file(m_ofn.nMaxFile > 0 ? m_ofn.nMaxFile : 1, L'\0');
    lstrcpynW(&file[0], Widened(m_ofn.lpstrFile).c_str(), static_cast<int>(file.size()));
    OPENFILENAMEW ofn;
    ZeroMemory(&ofn, sizeof ofn);
    ofn.lStructSize = m_ofn.lStructSize == sizeof(OPENFILENAMEA) ? sizeof(OPENFILENAMEW)
                                                                 : OPENFILENAME_SIZE_VERSION_400W;
    ofn.hwndOwner = m_ofn.hwndOwner;
    ofn.hInstance = m_ofn.hInstance;
    ofn.lpstrFilter = filter.empty() ? NULL : filter.c_str();
    ofn.nFilterIndex = m_ofn.nFilterIndex;
    ofn.lpstrFile = &file[0];
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrTitle = title.empty() ? NULL : title.c_str();
    ofn.Flags = m_ofn.Flags;
    ofn.lpstrDefExt = defaultExtension.empty() ? NULL : defaultExtension.c_str();
    if (show(&ofn)) {
        m_chosen = &file[0];
        m_ofn.nFilterIndex = ofn.nFilterIndex;
        const int length = ::WideCharToMultiByte(CP_ACP, 0, m_chosen.c_str(), -1, m_ofn.lpstrFile,
                                                 static_cast<int>(m_ofn.nMaxFile), NULL, NULL);
        if (length == 0 && m_ofn.nMaxFile > 0)
            m_ofn.lpstrFile[0] = '\0';
        return IDOK;
    }

    DWORD error = lastError();
    if (error != 0) {
        char text[160];
        if (error == FNERR_BUFFERTOOSMALL)
            lstrcpyA(text, "The chosen file name is too long.");
        else
            wsprintfA(text, "The file dialog could not be shown (error 0x%lx).", error);
        AfxMessageBox(text, MB_OK | MB_ICONERROR);
    }
    return IDCANCEL;
}

CString CFileDialog::GetPathName() const
{
    return CString(m_ofn.lpstrFile);
}

std::wstring CFileDialog::GetPathNameW() const
{
    return !m_chosen.empty() ? m_chosen : Widened(m_ofn.lpstrFile);
}
