#include "CksmConverterDlg.h"

#include "CConversionRequest.h"
#include "resource.h"

#include <string>
#include <vector>

BEGIN_MESSAGE_MAP(CksmConverterDlg, CDialog)
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
    ON_BN_CLICKED(IDC_BROWSE, &CksmConverterDlg::OnBrowse)
    ON_BN_CLICKED(IDC_START, &CksmConverterDlg::OnStartConversion)
    ON_WM_DROPFILES()
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
    DragAcceptFiles(TRUE);

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

    RunInConsole("Start Converting the file.\r\n \r\n", folderLine, scriptLine);

    m_btnStart.EnableWindow(TRUE);
    m_editConverted.SetWindowText("Converted File: " + targetPath);
}

void CksmConverterDlg::RunInConsole(const char* logStart, const CString& folderLine, const CString& scriptLine)
{
    m_redirector.m_pOutputEdit = &m_editLog;
    m_editLog.SetWindowText(logStart);
    m_redirector.CloseConsole();
    m_redirector.OpenConsole();
    m_redirector.SendFormatted("%s\r\n", folderLine.GetString());
    m_redirector.SendFormatted("%s\r\n", scriptLine.GetString());
}

namespace {

// A dropped name can be longer than MAX_PATH, and such a path is read only with the
// \\?\ prefix.
bool IsFolder(const std::wstring& path)
{
    std::wstring longForm = path;
    if (path.size() >= MAX_PATH && path.compare(0, 2, L"\\\\") != 0)
        longForm = L"\\\\?\\" + path;
    else if (path.size() >= MAX_PATH && path.compare(0, 4, L"\\\\?\\") != 0)
        longForm = L"\\\\?\\UNC" + path.substr(1);
    const DWORD attributes = GetFileAttributesW(longForm.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

} // namespace

// Each dropped file is converted as a chosen one would be, whatever its extension (the
// engine says why it cannot read one that is no recording; an MP4 is refused, as it would
// be its own target); a folder in the engine's folder mode. All of it runs as one
// request, in place of any running conversion, as Start does.
void CksmConverterDlg::OnDropFiles(HDROP hDropInfo)
{
    std::vector<CConversionRequest::DroppedItem> items;
    std::wstring unholdable;
    const UINT count = DragQueryFileW(hDropInfo, 0xFFFFFFFF, NULL, 0);
    for (UINT i = 0; i < count && unholdable.empty(); ++i) {
        std::wstring name(DragQueryFileW(hDropInfo, i, NULL, 0) + 1, L'\0');
        name.resize(DragQueryFileW(hDropInfo, i, &name[0], static_cast<UINT>(name.size())));
        CString path;
        if (CConversionRequest::ToAnsiExactly(name.c_str(), path))
            items.push_back(CConversionRequest::DroppedItem{path, IsFolder(name)});
        else
            unholdable = name;
    }
    DragFinish(hDropInfo);
    if (!unholdable.empty()) {
        AfxMessageBox(CConversionRequest::UnholdablePathMessage(unholdable.c_str()).c_str(), MB_OK | MB_ICONERROR, 0);
        return;
    }

    CString folderLine, scriptLine;
    const CString refusal = CConversionRequest::DropRefusal(items, CConversionRequest::CurrentProgramFolder(),
                                                            folderLine, scriptLine);
    if (!refusal.IsEmpty()) {
        AfxMessageBox(refusal, 0, 0);
        return;
    }
    const bool oneFile = items.size() == 1 && !items[0].isFolder;
    m_btnStart.EnableWindow(FALSE);
    RunInConsole(oneFile ? "Start Converting the file.\r\n \r\n" : "Start Converting the dropped recordings.\r\n \r\n",
                 folderLine, scriptLine);
    m_btnStart.EnableWindow(TRUE);
    m_editConverted.SetWindowText(CConversionRequest::DropSummary(items));
}
