#include "CDialog.h"

#include "CDataExchange.h"
#include "CWinApp.h"

namespace {

// Messages whose result is the dialog procedure's return value itself rather than
// DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT message)
{
    switch (message) {
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
    case WM_INITDIALOG:
        return true;
    default:
        return false;
    }
}

} // namespace

BEGIN_MESSAGE_MAP(CDialog, CWnd)
    ON_COMMAND(IDOK, &CDialog::OnOK)
    ON_COMMAND(IDCANCEL, &CDialog::OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog(UINT templateId, CWnd* parent)
    : m_nIDTemplate(templateId),
      m_pParentWnd(parent)
{
}

INT_PTR CDialog::DoModal()
{
    if (m_hWnd != NULL)
        return -1;   // already showing
    HWND owner = m_pParentWnd != NULL ? m_pParentWnd->GetSafeHwnd() : NULL;
    return ::DialogBoxParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(m_nIDTemplate), owner,
                             &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
}

BOOL CDialog::UpdateData(BOOL saveAndValidate)
{
    CDataExchange dx(this, saveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

BOOL CDialog::AttachControl(int id, CWnd& control)
{
    if (control.m_hWnd != NULL)
        return TRUE;   // bound by an earlier exchange
    HWND item = ::GetDlgItem(m_hWnd, id);
    if (item == NULL || !control.Attach(item))
        return FALSE;
    m_boundControls.push_back(&control);
    return TRUE;
}

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::DoDataExchange(CDataExchange*)
{
}

void CDialog::OnOK()
{
    if (!UpdateData(TRUE))
        return;
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

BOOL CDialog::OnCmdMsg(UINT id, int code)
{
    if (CWnd::OnCmdMsg(id, code))
        return TRUE;
    // Only true commands (not control notifications, not system commands) go on to the
    // application.
    if (code != 0 || id < 0x8000 || id >= 0xF000)
        return FALSE;
    CWinApp* app = AfxGetApp();
    return app != NULL && app->OnCmdMsg(id, code);
}

void CDialog::DetachAll()
{
    for (size_t i = 0; i < m_boundControls.size(); ++i)
        m_boundControls[i]->Detach();
    m_boundControls.clear();
    Detach();
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        CDialog* dialog = reinterpret_cast<CDialog*>(lParam);
        if (dialog == NULL || !dialog->Attach(hWnd))
            return FALSE;
        ::SetWindowLongPtrA(hWnd, DWLP_USER, reinterpret_cast<LONG_PTR>(dialog));
        return dialog->OnInitDialog();
    }

    CDialog* dialog = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hWnd, DWLP_USER));
    if (dialog == NULL)
        return FALSE;   // before WM_INITDIALOG or after WM_NCDESTROY

    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrA(hWnd, DWLP_USER, 0);
        dialog->DetachAll();
        return FALSE;
    }

    LRESULT result = 0;
    if (!dialog->OnWndMsg(message, wParam, lParam, &result))
        return FALSE;   // the dialog manager's default processing
    if (ReturnsResultDirectly(message))
        return static_cast<INT_PTR>(result);
    ::SetWindowLongPtrA(hWnd, DWLP_MSGRESULT, result);
    return TRUE;
}
