#pragma once

#include <windows.h>
#include <commdlg.h>

#include <string>
#include <vector>

#include "CObject.h"
#include "CString.h"

class CWnd;

// The common open (or save) file dialog.
class CFileDialog : public CObject
{
public:
    // filter: pairs of "description|pattern", each part ended by '|', e.g.
    // "Text (*.txt)|*.txt|All Files (*.*)|*.*||". structSize 0: the full OPENFILENAMEA.
    CFileDialog(BOOL openFileDialog, const char* defaultExtension = NULL, const char* fileName = NULL,
                DWORD flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, const char* filter = NULL,
                CWnd* parent = NULL, DWORD structSize = 0);

    // IDOK when the user chose a file, IDCANCEL otherwise. A dialog that fails (rather
    // than being cancelled) says why in a message box first.
    INT_PTR DoModal();

    // The full path of the chosen file, in the ANSI code page. A character that code page
    // lacks comes as Windows converts it: a look-alike or '?'.
    CString GetPathName() const;
    // The full path of the chosen file as the user chose it.
    std::wstring GetPathNameW() const;

    OPENFILENAMEA m_ofn;

private:
    BOOL m_bOpenFileDialog;
    CWnd* m_pParentWnd;
    std::string m_filter;            // NUL-separated, ends with two NULs
    std::string m_defaultExtension;
    // Room for the longest path Windows has (32767 characters), so a long path is
    // never cut.
    std::vector<char> m_fileName;
    // The dialog itself runs wide, so the name chosen is known exactly; empty until then.
    std::wstring m_chosen;
};
