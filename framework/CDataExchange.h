#pragma once

#include <windows.h>

class CDialog;
class CWnd;

// Context of one exchange between a dialog's controls and its members.
class CDataExchange
{
public:
    CDataExchange(CDialog* dialog, BOOL saveAndValidate)
        : m_bSaveAndValidate(saveAndValidate), m_pDlgWnd(dialog) {}

    BOOL m_bSaveAndValidate;   // TRUE: controls to members; FALSE: members to controls
    CDialog* m_pDlgWnd;
};

// Binds the wrapper `control` to the dialog item `id` (no subclassing: messages to the
// control keep going to its own window procedure). The binding ends when the dialog
// window is destroyed.
void DDX_Control(CDataExchange* pDX, int id, CWnd& control);
