#pragma once

#include <windows.h>
#include <shellapi.h>

#include "CCmdTarget.h"
#include "CString.h"

// A thin, non-owning wrapper of a window handle. Destroying the wrapper leaves the
// window alone.
class CWnd : public CCmdTarget
{
public:
    HWND m_hWnd;

    CWnd() : m_hWnd(NULL), m_pCurrentMessage(NULL) {}
    ~CWnd() override;

    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return GetSafeHwnd(); }

    BOOL Attach(HWND hWnd);
    HWND Detach();

    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const
    {
        return ::SendMessageA(m_hWnd, message, wParam, lParam);
    }

    void SetWindowText(const char* text) { ::SetWindowTextA(m_hWnd, text); }
    int GetWindowTextLength() const { return ::GetWindowTextLengthA(m_hWnd); }
    void GetWindowText(CString& text) const;

    BOOL EnableWindow(BOOL enable = TRUE) { return ::EnableWindow(m_hWnd, enable); }
    BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
    BOOL ShowWindow(int showCommand) { return ::ShowWindow(m_hWnd, showCommand); }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
    void GetClientRect(LPRECT rect) const { ::GetClientRect(m_hWnd, rect); }
    // Whether files dragged from Explorer may be dropped here (WM_DROPFILES).
    void DragAcceptFiles(BOOL accept = TRUE) { ::DragAcceptFiles(m_hWnd, accept); }

    // Called from a message handler: asks for the window's default processing of the
    // message being handled. For a dialog that is the dialog manager's, which runs only
    // after the dialog procedure has returned FALSE (calling it from inside would enter
    // the dialog procedure again), so the request is recorded and carried out then; its
    // result is not known here and 0 is returned.
    LRESULT Default();

    // Runs the message-map handler of one message. Returns TRUE when a handler ran and
    // did not ask for the default processing; *result is the handler's result.
    virtual BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

protected:
    // A WM_COMMAND: control notifications and commands go to OnCmdMsg.
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);

private:
    // The message being dispatched to this wrapper; messages sent from inside a
    // handler nest, so each dispatch keeps the one it interrupted.
    struct MessageInProgress
    {
        UINT message;
        bool defaultRequested;
        MessageInProgress* interrupted;
    };
    MessageInProgress* m_pCurrentMessage;
};
