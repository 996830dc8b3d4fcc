#include "CWinApp.h"

#include <string>
#include <vector>

#include "CWnd.h"

namespace {

CWinApp* g_app = NULL;

// The file name of the program without folder and extension.
CString ProgramBaseName()
{
    CString name;
    if (!AfxGetModuleFileName(NULL, name))
        return CString();
    int slash = name.ReverseFind('\\');
    if (name.ReverseFind('/') > slash)
        slash = name.ReverseFind('/');
    name = name.Mid(slash + 1);
    int dot = name.ReverseFind('.');
    if (dot > 0)
        name = name.Left(dot);
    return name;
}

} // namespace

CWinApp::CWinApp(const char* appName)
    : m_pszAppName(NULL),
      m_pszRegistryKey(NULL),
      m_pszProfileName(NULL),
      m_pMainWnd(NULL),
      m_exitCode(0)
{
    m_appName = appName != NULL ? CString(appName) : ProgramBaseName();
    m_pszAppName = m_appName;
    g_app = this;
}

CWinApp::~CWinApp()
{
    if (g_app == this)
        g_app = NULL;
}

BOOL CWinApp::InitInstance()
{
    return TRUE;
}

int CWinApp::Run()
{
    MSG msg;
    for (;;) {
        BOOL got = GetMessageA(&msg, NULL, 0, 0);
        if (got == 0) {
            m_exitCode = static_cast<int>(msg.wParam);
            break;
        }
        if (got == -1)
            break;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return ExitInstance();
}

int CWinApp::ExitInstance()
{
    return m_exitCode;
}

void CWinApp::OnHelp()
{
}

void CWinApp::SetRegistryKey(const char* companyName)
{
    m_registryKey = companyName;
    m_pszRegistryKey = m_registryKey;
    m_profileName = m_appName;
    m_pszProfileName = m_profileName;
}

BOOL AfxGetModuleFileName(HINSTANCE instance, CString& path)
{
    // MAX_PATH first; a longer path (\\?\ prefixes, long-path aware systems) gets a
    // larger buffer rather than a cut one.
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD length =
            GetModuleFileNameA(instance, &buffer[0], static_cast<DWORD>(buffer.size()));
        if (length == 0)
            break;
        if (length < buffer.size() && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            path = CString(&buffer[0], static_cast<int>(length));
            return TRUE;
        }
        if (buffer.size() >= 65536)
            break;
        buffer.resize(buffer.size() * 2);
    }
    path.Empty();
    return FALSE;
}

CWinApp* AfxGetApp()
{
    return g_app;
}

CWnd* AfxGetMainWnd()
{
    return g_app != NULL ? g_app->m_pMainWnd : NULL;
}

HINSTANCE AfxGetResourceHandle()
{
    return GetModuleHandleA(NULL);
}

int AfxWinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    CWinApp* app = AfxGetApp();
    if (app == NULL)
        return -1;
    if (!app->InitInstance())
        return app->ExitInstance();
    return app->Run();
}

// The program's entry point lives in this file so that linking the application object,
// which every program of this framework has, also links the entry point.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand)
{
    return AfxWinMain(instance, previous, commandLine, showCommand);
}

void AfxEnableControlContainer()
{
}

namespace {

// The caption, owner and icon every message box of the application gets.
UINT PrepareMessageBox(UINT type, CString& caption, HWND& owner)
{
    CWinApp* app = AfxGetApp();
    caption = app != NULL ? CString(app->m_pszAppName) : ProgramBaseName();

    CWnd* mainWnd = AfxGetMainWnd();
    owner = mainWnd != NULL && ::IsWindow(mainWnd->m_hWnd) ? mainWnd->m_hWnd : NULL;

    if ((type & MB_ICONMASK) == 0) {
        switch (type & MB_TYPEMASK) {
        case MB_OK:
        case MB_OKCANCEL:
            type |= MB_ICONEXCLAMATION;
            break;
        case MB_YESNO:
        case MB_YESNOCANCEL:
            type |= MB_ICONQUESTION;
            break;
        default:
            break;
        }
    }
    return type;
}

} // namespace

int AfxMessageBox(const char* text, UINT type, UINT /*helpId*/)
{
    CString caption;
    HWND owner = NULL;
    type = PrepareMessageBox(type, caption, owner);
    return ::MessageBoxA(owner, text, caption, type);
}

int AfxMessageBox(const wchar_t* text, UINT type, UINT /*helpId*/)
{
    CString caption;
    HWND owner = NULL;
    type = PrepareMessageBox(type, caption, owner);
    const int length = ::MultiByteToWideChar(CP_ACP, 0, caption, -1, NULL, 0);
    std::wstring wideCaption(static_cast<size_t>(length > 0 ? length : 1), L'\0');
    if (length > 0)
        ::MultiByteToWideChar(CP_ACP, 0, caption, -1, &wideCaption[0], length);
    return ::MessageBoxW(owner, text, wideCaption.c_str(), type);
}
