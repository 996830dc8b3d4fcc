#include "CMyRedirector.h"

void CMyRedirector::OnOutputText(const char* text)
{
    CEdit* edit = m_pOutputEdit;
    if (edit == NULL)
        return;
    // Always at the very end, wherever the user has put the caret or selection.
    const int length = edit->GetWindowTextLength();
    const HWND hWnd = edit->GetSafeHwnd();
    ::SendMessageA(hWnd, EM_SETSEL, static_cast<WPARAM>(length), static_cast<LPARAM>(length));
    ::SendMessageA(hWnd, EM_SCROLLCARET, 0, 0);
    ::SendMessageA(hWnd, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
}

void CMyRedirector::OnErrorText(const char* text)
{
    OnOutputText("\r\nError message: ");
    OnOutputText(text);
}
