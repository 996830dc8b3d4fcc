#pragma once

#include <windows.h>

#include "CObject.h"

// A device context handle and the drawing this program does on one.
class CDC : public CObject
{
public:
    HDC m_hDC;

    CDC() : m_hDC(NULL) {}

    HDC GetSafeHdc() const { return m_hDC; }
    BOOL DrawIcon(int x, int y, HICON icon) { return ::DrawIcon(m_hDC, x, y, icon); }
};
