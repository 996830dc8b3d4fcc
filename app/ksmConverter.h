#pragma once

#include "afxwin.h"

// The application: shows the converter window, then ends.
class CksmConverterApp : public CWinApp
{
public:
    CksmConverterApp();

    BOOL InitInstance() override;

    DECLARE_MESSAGE_MAP()
};

extern CksmConverterApp theApp;
