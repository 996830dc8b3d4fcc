#pragma once

// Resource ids shared by ksmConverter.rc and the C++ code.

#define IDD_CONVERTER 102

#define IDI_APP_ICON 128
// Kept in the executable for shells and installers; no code loads it.
#define IDI_SECOND_ICON 131

#define IDC_BROWSE 1000
#define IDC_SOURCE_PATH 1003
#define IDC_START 1004
#define IDC_LOG 1005
#define IDC_CONVERTED 1006

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
