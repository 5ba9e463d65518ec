// The one dialog base class of the checker: a modal dialog made from a
// template resource, whose procedure hands every message to the object.
//
// A derived dialog overrides OnInitDialog and OnMessage. OnMessage returns
// true when it handled the message and puts the procedure's result (a brush
// for the control-colour messages, an icon for WM_QUERYDRAGICON) in *result.
#pragma once

#include <windows.h>

#include <string>

class Dialog {
public:
    Dialog() = default;
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;
    virtual ~Dialog() = default;

    // Runs the dialog of `templateId` modally over `owner`; returns the code
    // it ended with, or -1 when it could not be created.
    INT_PTR RunModal(HWND owner, int templateId);
    HWND window() const { return hwnd_; }

protected:
    // WM_INITDIALOG: return false when the focus was set here.
    virtual bool OnInitDialog() { return true; }
    virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR* result);
    void End(int code) { ::EndDialog(hwnd_, code); }
    HWND Item(int id) const { return ::GetDlgItem(hwnd_, id); }

    HWND hwnd_ = nullptr;

private:
    static INT_PTR CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
};

// The text of a window (a control's whole text), without length limit.
std::string WindowText(HWND window);

// The checker's fixed-pitch font: "Courier New", height 16, normal weight,
// ANSI character set, every other attribute the default.
HFONT CreateCheckerFont();
