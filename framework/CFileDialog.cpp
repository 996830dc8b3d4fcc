#include "CFileDialog.h"

#include "CWinApp.h"
#include "CWnd.h"

namespace {

const DWORD kFileNameChars = 32768;

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
    typedef BOOL(WINAPI * ShowFunction)(LPOPENFILENAMEA);
    typedef DWORD(WINAPI * ErrorFunction)();
    static HMODULE library = ::LoadLibraryA("comdlg32.dll");
    ShowFunction show = NULL;
    ErrorFunction lastError = NULL;
    if (library != NULL) {
        show = reinterpret_cast<ShowFunction>(reinterpret_cast<void*>(
            ::GetProcAddress(library, m_bOpenFileDialog ? "GetOpenFileNameA" : "GetSaveFileNameA")));
        lastError = reinterpret_cast<ErrorFunction>(
            reinterpret_cast<void*>(::GetProcAddress(library, "CommDlgExtendedError")));
    }
    if (show == NULL || lastError == NULL) {
        AfxMessageBox("The file dialog could not be shown (comdlg32.dll is missing).",
                      MB_OK | MB_ICONERROR);
        return IDCANCEL;
    }
    if (show(&m_ofn))
        return IDOK;

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
