#include "CksmConverterDlg.h"

#include "CConversionRequest.h"
#include "resource.h"

BEGIN_MESSAGE_MAP(CksmConverterDlg, CDialog)
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
    ON_BN_CLICKED(IDC_BROWSE, &CksmConverterDlg::OnBrowse)
    ON_BN_CLICKED(IDC_START, &CksmConverterDlg::OnStartConversion)
END_MESSAGE_MAP()

CksmConverterDlg::CksmConverterDlg() : CDialog(IDD_CONVERTER, NULL)
{
    m_hAppIcon = LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDI_APP_ICON));
}

void CksmConverterDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_LOG, m_editLog);
    DDX_Control(pDX, IDC_SOURCE_PATH, m_editPath);
    DDX_Control(pDX, IDC_START, m_btnStart);
    DDX_Control(pDX, IDC_CONVERTED, m_editConverted);
}

BOOL CksmConverterDlg::OnInitDialog()
{
    CDialog::OnInitDialog();

    ::SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hAppIcon));
    ::SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hAppIcon));

    // An edit control holds about 32 K characters unless told otherwise, and a long
    // conversion log would silently stop growing there.
    m_editLog.SetLimitText(0x7FFFFFFE);

    ShowWindow(SW_SHOWNORMAL);
    return TRUE;
}

void CksmConverterDlg::OnPaint()
{
    if (!IsIconic()) {
        Default();
        return;
    }

    // Minimised: draw the icon in the middle of the client area.
    CPaintDC dc(this);
    ::SendMessageA(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
    const int cxIcon = GetSystemMetrics(SM_CXICON);
    const int cyIcon = GetSystemMetrics(SM_CYICON);
    CRect rect;
    GetClientRect(&rect);
    const int x = (rect.Width() - cxIcon + 1) / 2;
    const int y = (rect.Height() - cyIcon + 1) / 2;
    dc.DrawIcon(x, y, m_hAppIcon);
}

HCURSOR CksmConverterDlg::OnQueryDragIcon()
{
    return static_cast<HCURSOR>(m_hAppIcon);
}

void CksmConverterDlg::OnBrowse()
{
    CFileDialog dlg(TRUE, "ksm", "*.ksm", OFN_HIDEREADONLY | OFN_FILEMUSTEXIST,
                    "Ksm Files (*.ksm)|*.ksm|All Files (*.*)|*.*||", NULL, 0);
    if (dlg.DoModal() != IDOK)
        return;
    // The window works in the ANSI code page. A name it cannot hold exactly would reach it
    // as a look-alike, the name of another recording or of none: such a choice is refused,
    // and no earlier one stays behind to be converted in its place.
    const std::wstring chosen = dlg.GetPathNameW();
    CString path;
    if (!CConversionRequest::ToAnsiExactly(chosen.c_str(), path)) {
        m_strPath.Empty();
        m_editPath.SetWindowText("");
        m_editConverted.SetWindowText("");
        AfxMessageBox(CConversionRequest::UnholdablePathMessage(chosen.c_str()).c_str(), MB_OK | MB_ICONERROR, 0);
        return;
    }
    m_strPath = path;
    m_editPath.SetWindowText(m_strPath);
    m_editConverted.SetWindowText("");
}

void CksmConverterDlg::OnStartConversion()
{
    if (m_strPath.IsEmpty()) {
        AfxMessageBox("Please specify a .ksm file to convert.", 0, 0);
        return;
    }

    m_btnStart.EnableWindow(FALSE);

    // qm.bat lies beside the program, and runs from there.
    const CString programFolder = CConversionRequest::CurrentProgramFolder();
    const CString targetPath = CConversionRequest::TargetPathFor(m_strPath);

    // Every refusal comes before the log and the console are touched: a refused request
    // changes nothing but the message it shows.
    CString folderLine, scriptLine;
    const CString refusal =
        CConversionRequest::Refusal(m_strPath, programFolder, folderLine, scriptLine);
    if (!refusal.IsEmpty()) {
        AfxMessageBox(refusal, 0, 0);
        m_btnStart.EnableWindow(TRUE);
        return;
    }

    m_redirector.m_pOutputEdit = &m_editLog;
    m_editLog.SetWindowText("Start Converting the file.\r\n \r\n");
    m_redirector.CloseConsole();
    m_redirector.OpenConsole();
    m_redirector.SendFormatted("%s\r\n", folderLine.GetString());
    m_redirector.SendFormatted("%s\r\n", scriptLine.GetString());

    m_btnStart.EnableWindow(TRUE);
    m_editConverted.SetWindowText("Converted File: " + targetPath);
}
