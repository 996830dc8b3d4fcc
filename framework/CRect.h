#pragma once

#include <windows.h>

// A RECT with its size at hand.
class CRect : public RECT
{
public:
    CRect() { left = top = right = bottom = 0; }
    CRect(int l, int t, int r, int b) { left = l; top = t; right = r; bottom = b; }

    int Width() const { return right - left; }
    int Height() const { return bottom - top; }

    operator LPRECT() { return this; }
    operator LPCRECT() const { return this; }
};
