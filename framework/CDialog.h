#pragma once

#include <vector>

#include "CWnd.h"

class CDataExchange;

// A modal dialog made from a dialog resource. The dialog's messages go through the
// class's message map; commands no map of the dialog handles go on to the
// application's map.
class CDialog : public CWnd
{
public:
    explicit CDialog(UINT templateId, CWnd* parent = NULL);

    // Shows the dialog and returns when it ends: the value passed to EndDialog, or -1
    // when the dialog could not be created.
    virtual INT_PTR DoModal();

    BOOL EndDialog(INT_PTR result) { return ::EndDialog(m_hWnd, result); }

    // Moves data between the controls and the members by DoDataExchange:
    // saveAndValidate FALSE fills the controls, TRUE reads them.
    BOOL UpdateData(BOOL saveAndValidate = TRUE);

    // Binds `control` to the dialog item `id` for as long as the dialog window lives.
    BOOL AttachControl(int id, CWnd& control);

    BOOL OnCmdMsg(UINT id, int code) override;

protected:
    virtual BOOL OnInitDialog();
    virtual void DoDataExchange(CDataExchange* pDX);
    virtual void OnOK();
    virtual void OnCancel();

    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;

    DECLARE_MESSAGE_MAP()

private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    // The window is going away: no wrapper may keep its handle, or a child's.
    void DetachAll();

    std::vector<CWnd*> m_boundControls;
};
