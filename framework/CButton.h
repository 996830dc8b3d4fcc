#pragma once

#include "CWnd.h"

// Wrapper of a button control; everything this program does with one is in CWnd.
class CButton : public CWnd
{
};
