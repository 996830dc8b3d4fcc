#pragma once

#include "afxwin.h"
#include "CMyRedirector.h"

// The converter's main window: pick a .ksm file (or drop recordings and folders on it),
// start qm.bat on it in a hidden command interpreter, watch its output in the log box.
class CksmConverterDlg : public CDialog
{
public:
    CksmConverterDlg();

protected:
    HICON m_hAppIcon;
    CEdit m_editLog;
    CEdit m_editPath;
    CEdit m_editConverted;
    CString m_strPath;            // the chosen source file, empty until one is chosen
    CButton m_btnStart;
    CMyRedirector m_redirector;   // last member: closes the console before the controls go

    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;

    void OnPaint();
    HCURSOR OnQueryDragIcon();
    void OnBrowse();
    void OnStartConversion();
    void OnDropFiles(HDROP hDropInfo);

    // Resets the log to `logStart`, ends any running conversion and types the two lines
    // into a new interpreter.
    void RunInConsole(const char* logStart, const CString& folderLine, const CString& scriptLine);

    DECLARE_MESSAGE_MAP()
};
