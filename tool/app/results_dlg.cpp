#include "tool/app/results_dlg.h"

#include "tool/resources/resource.h"

CResultsDlg::~CResultsDlg() {
    if (backgroundBrush_) ::DeleteObject(backgroundBrush_);
    if (font_) ::DeleteObject(font_);
}

INT_PTR CResultsDlg::DoModal(HWND owner) { return RunModal(owner, IDD_RESULTS); }

bool CResultsDlg::OnInitDialog() {
    backgroundBrush_ = ::CreateSolidBrush(background_);
    font_ = CreateCheckerFont();
    HWND edit = Item(IDC_RESULTS_TEXT);
    ::SendMessageA(edit, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
    ::SendMessageA(edit, EM_SETREADONLY, TRUE, 0);
    ::SetWindowTextA(edit, text_.c_str());
    // Focus on "Close", so that the text is shown from the top and unselected.
    ::SetFocus(Item(IDOK));
    return false;
}

bool CResultsDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR* result) {
    if ((message == WM_CTLCOLORSTATIC || message == WM_CTLCOLOREDIT) &&
        reinterpret_cast<HWND>(lParam) == Item(IDC_RESULTS_TEXT)) {
        HDC dc = reinterpret_cast<HDC>(wParam);
        ::SetBkColor(dc, background_);
        ::SetTextColor(dc, textColour_);
        *result = reinterpret_cast<INT_PTR>(backgroundBrush_);
        return true;
    }
    return Dialog::OnMessage(message, wParam, lParam, result);
}
