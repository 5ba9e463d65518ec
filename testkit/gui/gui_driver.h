// The GUI driver: operates the checker QRN.EXE from another process under
// Wine (or Windows) as a person would: finds its windows, reads lists and
// texts, makes selections, presses buttons, answers message boxes, samples
// the colours on the screen and saves pictures of windows.
//
// Every wait is bounded; a function that waits returns a null handle (or
// false) when its time runs out, and never blocks on the checker: buttons
// whose handlers open modal windows are pressed by posting.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace gui {

// A program started by the driver.
struct Program {
    PROCESS_INFORMATION info{};
    bool running() const;
};

// Starts `exePath` with the working directory `directory` (empty: the
// driver's own). Returns false when it could not be started.
bool Start(const std::string& exePath, const std::string& directory, Program* program);
// Waits for the program to end; its exit code, or -1 when it is still
// running after `timeoutMs` (it is then ended by force).
int WaitForExit(Program* program, DWORD timeoutMs);

// A visible top-level dialog of the program whose caption is `caption` and
// which holds a control with id `controlId`, once it answers messages; or
// nullptr after `timeoutMs`.
HWND WaitForDialog(const Program& program, const char* caption, int controlId, DWORD timeoutMs);
// The same for a message box of the program with `caption`.
HWND WaitForMessageBox(const Program& program, const char* caption, DWORD timeoutMs);
// A message box of the program with `caption` shown now, or nullptr.
HWND FindMessageBox(const Program& program, const char* caption);
std::string MessageBoxText(HWND box);
// Presses the box's OK button and waits until the box has gone.
bool AnswerMessageBox(HWND box, DWORD timeoutMs);
// Waits until `window` no longer exists.
bool WaitForClose(HWND window, DWORD timeoutMs);

std::string Text(HWND window);
std::string ControlText(HWND dialog, int id);
std::vector<std::string> ListItems(HWND dialog, int listId);
// The current item's text; empty when the list has none.
std::string ListCurrent(HWND dialog, int listId);
// Makes item `index` current and tells the dialog, as a click would.
bool SelectListItem(HWND dialog, int listId, int index);
// Index of the item that begins with `text`, or -1.
int FindListItem(HWND dialog, int listId, const std::string& text);
// Posts a click on the button (the handler may open modal windows).
void Click(HWND dialog, int buttonId);
// Posts a system-menu command to the dialog.
void SystemCommand(HWND dialog, WPARAM command);

// The colour that most of the control's client area shows on the screen.
COLORREF ScreenColour(HWND control);
// Waits until ScreenColour(control) is `expected`; returns the last colour seen.
COLORREF WaitForColour(HWND control, COLORREF expected, DWORD timeoutMs);
std::string ColourName(COLORREF colour);  // "green", "red", "white", "yellow" or "#RRGGBB"

// Saves what the screen shows of the window as a 24-bit BMP file.
bool SaveWindowPicture(HWND window, const std::string& path);

// Windows-side path of a POSIX path under Wine (the Z: drive).
std::string WinePath(const std::string& posixPath);

}  // namespace gui
