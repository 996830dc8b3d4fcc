#include "ksmConverter.h"

#include "CksmConverterDlg.h"

BEGIN_MESSAGE_MAP(CksmConverterApp, CWinApp)
    ON_COMMAND(ID_HELP, &CWinApp::OnHelp)
END_MESSAGE_MAP()

CksmConverterApp theApp;

CksmConverterApp::CksmConverterApp()
{
}

BOOL CksmConverterApp::InitInstance()
{
    INITCOMMONCONTROLSEX initControls;
    initControls.dwSize = sizeof initControls;
    initControls.dwICC = ICC_WIN95_CLASSES;
    InitCommonControlsEx(&initControls);

    CWinApp::InitInstance();

    AfxEnableControlContainer();

    SetRegistryKey("Local AppWizard-Generated Applications");

    CksmConverterDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();

    // The window has closed (and with the dialog object goes any open console): end
    // the program instead of running a message loop.
    return FALSE;
}
