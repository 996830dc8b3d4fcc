#include "CWnd.h"

#include "CWinApp.h"

CWnd::~CWnd()
{
    // The application must not keep pointing at a main window that no longer exists.
    CWinApp* app = AfxGetApp();
    if (app != NULL && app->m_pMainWnd == this)
        app->m_pMainWnd = NULL;
}

BOOL CWnd::Attach(HWND hWnd)
{
    if (hWnd == NULL || m_hWnd != NULL)
        return FALSE;
    m_hWnd = hWnd;
    return TRUE;
}

HWND CWnd::Detach()
{
    HWND hWnd = m_hWnd;
    m_hWnd = NULL;
    return hWnd;
}

void CWnd::GetWindowText(CString& text) const
{
    int length = GetWindowTextLength();
    char* buffer = text.GetBuffer(length + 1);
    int copied = ::GetWindowTextA(m_hWnd, buffer, length + 1);
    text.ReleaseBuffer(copied);
}

LRESULT CWnd::Default()
{
    if (m_pCurrentMessage != NULL)
        m_pCurrentMessage->defaultRequested = true;
    return 0;
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM lParam)
{
    const UINT id = LOWORD(wParam);
    // Menus and accelerators have no control window; their code is not a notification.
    const int code = lParam != 0 ? HIWORD(wParam) : 0;
    return OnCmdMsg(id, code);
}

BOOL CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result)
{
    MessageInProgress current = { message, false, m_pCurrentMessage };
    m_pCurrentMessage = &current;

    BOOL handled = FALSE;
    LRESULT value = 0;
    if (message == WM_COMMAND) {
        handled = OnCommand(wParam, lParam);
    } else {
        const AFX_MSGMAP_ENTRY* entry = FindMessageEntry(GetMessageMap(), message, 0, 0);
        if (entry != NULL) {
            switch (entry->nSig) {
            case AfxSig_vv:
                (this->*entry->pfn)();
                handled = TRUE;
                break;
            case AfxSig_hv: {
                typedef HCURSOR (CCmdTarget::*HandleHandler)();
                HandleHandler handler = reinterpret_cast<HandleHandler>(entry->pfn);
                value = reinterpret_cast<LRESULT>((this->*handler)());
                handled = TRUE;
                break;
            }
            case AfxSig_vD: {
                typedef void (CCmdTarget::*DropHandler)(HDROP);
                DropHandler handler = reinterpret_cast<DropHandler>(entry->pfn);
                (this->*handler)(reinterpret_cast<HDROP>(wParam));
                handled = TRUE;
                break;
            }
            default:
                break;
            }
        }
    }

    m_pCurrentMessage = current.interrupted;
    if (current.defaultRequested)
        handled = FALSE;
    if (result != NULL)
        *result = value;
    return handled;
}
