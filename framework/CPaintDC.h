#pragma once

#include "CDC.h"

class CWnd;

// The device context of one WM_PAINT: BeginPaint on construction, EndPaint on
// destruction. Only for use inside a WM_PAINT handler of `window`.
class CPaintDC : public CDC
{
public:
    explicit CPaintDC(CWnd* window);
    ~CPaintDC() override;

    PAINTSTRUCT m_ps;

private:
    HWND m_hWnd;
};
