// The results discussion (dialog 132): the composed verdict text in a
// read-only, fixed-pitch edit, black on white; "Close" ends it.
#pragma once

#include "tool/app/dialog.h"

#include <string>

class CResultsDlg : public Dialog {
public:
    explicit CResultsDlg(std::string text) : text_(std::move(text)) {}
    ~CResultsDlg() override;
    INT_PTR DoModal(HWND owner);

protected:
    bool OnInitDialog() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR* result) override;

private:
    std::string text_;
    COLORREF background_ = RGB(255, 255, 255);
    COLORREF textColour_ = RGB(0, 0, 0);
    HBRUSH backgroundBrush_ = nullptr;
    HFONT font_ = nullptr;
};
