#include "tool/app/about_dlg.h"

#include "tool/resources/resource.h"

INT_PTR CAboutDlg::DoModal(HWND owner) { return RunModal(owner, IDD_ABOUTBOX); }
