#pragma once

// Everything a program of this framework uses, in one include.

#include <windows.h>
#include <commctrl.h>

#include "CObject.h"
#include "CString.h"
#include "CCmdTarget.h"
#include "CWnd.h"
#include "CEdit.h"
#include "CButton.h"
#include "CRect.h"
#include "CDC.h"
#include "CPaintDC.h"
#include "CDataExchange.h"
#include "CDialog.h"
#include "CFileDialog.h"
#include "CWinApp.h"

#ifndef ID_HELP
#define ID_HELP 0xE146   // the framework's "Help" command
#endif
