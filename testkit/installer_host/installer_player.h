// Test equipment for the "Setup Progress" plug-in: plays the driver
// installer inside the calling program (its window, its records, the plug-in
// loaded afresh), reads the screen, and drives installer-host.exe, the whole
// installer, as a separate program. Every wait is bounded; a call into the
// plug-in that has not returned after 20 s ends the program with a report.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "testkit/gui/gui_driver.h"
#include "testkit/installer_host/installer_kit.h"

namespace installer {

// The folder of the running program.
std::string ProgramDir();

// Runs the window messages of this thread for `ms` milliseconds.
void Pump(DWORD ms);

// What the screen shows in a rectangle (screen coordinates).
struct Shot {
    RECT area{};
    std::vector<COLORREF> pixels;
    COLORREF At(int x, int y) const;  // screen coordinates
};
Shot Capture(const RECT& area);
// Pixels that differ between two shots of one area, inside `part` or outside it.
int Differences(const Shot& a, const Shot& b, const RECT& part, bool inside);
RECT ScreenRect(HWND window);
// How many of the intervals between successive shots changed anything inside `area`.
int ChangedIntervals(const std::vector<Shot>& shots, const RECT& area);

// The names of the files (not folders) in `directory`; a file's bytes.
std::vector<std::string> FilesOf(const std::string& directory);
std::string FileBytes(const std::string& path);

// The driver installer played in this program: its main window, its records
// and the plug-in.
class Player {
public:
    // Opens the installer window (client area 960 x 720 at 150, 100) and
    // loads the plug-in; false when it or its Update is missing.
    bool Start(const std::string& pluginPath);
    // Destroys a progress window left open, unloads the plug-in (and the
    // animation window class it registered, as the end of the installer's
    // process would) and closes the installer window.
    ~Player();

    void SetInstallerClientSize(int width, int height);
    // Update with the records and the current place code; type 0 remembers
    // the window.
    uintptr_t Call(uint32_t type, const char* text = nullptr, uint32_t progress = 0);
    // Create with `dialog` and a first update with `text`; the window shown,
    // or nullptr.
    HWND Show(int dialog, const char* text);
    std::string Text(int id) const { return gui::ControlText(progress, id); }
    // Control `id`'s rectangle in the progress window's client coordinates.
    RECT ControlRect(int id) const;
    // The animation window, once it exists (nullptr after 10 s).
    HWND AnimationWindow() const;
    // Shots of the progress window `interval` ms apart, messages run meanwhile.
    std::vector<Shot> Shots(int count, DWORD interval) const;

    HWND installerWindow = nullptr, progress = nullptr;
    Variables variables{24, 80};
    InstallerInfo info{};
    uint32_t place = 4;

private:
    HMODULE plugin_ = nullptr;
    UpdateFunction update_ = nullptr;
};

// installer-host.exe started with `arguments`; in hold mode its standard
// input and output are pipes of this program.
class HostProcess {
public:
    bool Start(const std::string& exePath, const std::string& arguments, bool hold);
    // Sends one command line (none when empty) and returns the host's next
    // answer line, or "" after 10 s.
    std::string Command(const std::string& line);
    ~HostProcess();
    gui::Program program;

private:
    HANDLE toHost_ = nullptr, fromHost_ = nullptr;
    std::string received_;
};

// Windows of class "AnimateWindow" among the children of the top-level
// windows of process `processId`.
int AnimateWindows(DWORD processId);

}  // namespace installer
