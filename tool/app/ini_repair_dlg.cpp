#include "tool/app/ini_repair_dlg.h"

#include "tool/resources/resource.h"

CIniRepairDlg::~CIniRepairDlg() {
    if (whiteBrush_) ::DeleteObject(whiteBrush_);
    if (yellowBrush_) ::DeleteObject(yellowBrush_);
}

INT_PTR CIniRepairDlg::DoModal(HWND owner) { return RunModal(owner, IDD_INI_REPAIR); }

bool CIniRepairDlg::OnInitDialog() {
    whiteBrush_ = ::CreateSolidBrush(RGB(255, 255, 255));
    yellowBrush_ = ::CreateSolidBrush(RGB(255, 255, 0));
    // Its messages come before the dialog shows: it is not visible yet.
    BuildIniRepairProposal(catalogue_, chosenKey_, hwnd_, &proposal_);
    ::SetWindowTextA(Item(IDC_CURRENT_INI), proposal_.currentText.c_str());
    ::SetWindowTextA(Item(IDC_PROPOSED_INI), proposal_.proposedText.c_str());
    // Focus on the default button: the files' texts are shown unselected.
    ::SetFocus(Item(IDOK));
    return false;
}

bool CIniRepairDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR* result) {
    if (message == WM_CTLCOLORSTATIC || message == WM_CTLCOLOREDIT) {
        HWND control = reinterpret_cast<HWND>(lParam);
        bool current = control == Item(IDC_CURRENT_INI);
        if (current || control == Item(IDC_PROPOSED_INI)) {
            bool yellow = current && proposal_.problems;
            HDC dc = reinterpret_cast<HDC>(wParam);
            ::SetTextColor(dc, RGB(0, 0, 0));
            ::SetBkColor(dc, yellow ? RGB(255, 255, 0) : RGB(255, 255, 255));
            *result = reinterpret_cast<INT_PTR>(yellow ? yellowBrush_ : whiteBrush_);
            return true;
        }
        return false;
    }
    if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
        MakeIniRepairChanges(proposal_, hwnd_);  // the dialog stays open
        *result = TRUE;
        return true;
    }
    return Dialog::OnMessage(message, wParam, lParam, result);
}
