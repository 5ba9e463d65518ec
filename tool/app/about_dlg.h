// The About box (dialog 100): the program's name and version, its icon and
// its owner; "OK" closes it.
#pragma once

#include "tool/app/dialog.h"

class CAboutDlg : public Dialog {
public:
    INT_PTR DoModal(HWND owner);
};
