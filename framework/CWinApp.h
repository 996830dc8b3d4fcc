#pragma once

#include <windows.h>

#include "CCmdTarget.h"
#include "CString.h"

class CWnd;

// The application. The program defines exactly one global object of a class derived
// from this; the framework's entry point (WinMain) runs it.
class CWinApp : public CCmdTarget
{
public:
    // appName null: the program's file name without its extension, e.g. "ksmConverter".
    explicit CWinApp(const char* appName = NULL);
    ~CWinApp() override;

    const char* m_pszAppName;      // caption of the application's message boxes
    const char* m_pszRegistryKey;  // set by SetRegistryKey; null until then
    const char* m_pszProfileName;  // likewise: the application's name under that key
    CWnd* m_pMainWnd;              // the main window, if any

    // Start-up. Returning FALSE ends the program without running a message loop.
    virtual BOOL InitInstance();
    // The message loop, entered when InitInstance returned TRUE.
    virtual int Run();
    // Clean-up; its result is the process's exit code.
    virtual int ExitInstance();

    // The program ships no help file: there is nothing a help request could open, so
    // this does nothing.
    void OnHelp();

protected:
    // Names the registry key under which the application would keep its settings. Only
    // the names are remembered: nothing is written to the registry.
    void SetRegistryKey(const char* companyName);

private:
    CString m_appName;
    CString m_registryKey;
    CString m_profileName;
    int m_exitCode;   // wParam of the WM_QUIT that ended the message loop
};

// The application object, or null when the program has none.
// The full path of a module (NULL: the program itself), however long; FALSE and an
// empty path when it cannot be read.
BOOL AfxGetModuleFileName(HINSTANCE instance, CString& path);

CWinApp* AfxGetApp();

// The application's main window, or null.
CWnd* AfxGetMainWnd();

// The module holding the program's resources: the program itself.
HINSTANCE AfxGetResourceHandle();

// Called by the entry point: InitInstance once, then the message loop or ExitInstance.
int AfxWinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand);

// Allows hosting ActiveX controls in dialogs. This program's dialogs host none, and
// Common Controls are registered by the application itself, so there is nothing to do.
void AfxEnableControlContainer();

// A message box with the application's name as caption, owned by the main window when
// there is one. MB_OK and MB_OKCANCEL boxes without an icon get the exclamation icon,
// yes/no boxes the question mark. helpId is accepted for compatibility: with no help
// file there is no help topic to attach.
int AfxMessageBox(const char* text, UINT type = MB_OK, UINT helpId = 0);
// The same for text the ANSI code page may not hold (a file name as the user chose it).
int AfxMessageBox(const wchar_t* text, UINT type = MB_OK, UINT helpId = 0);
