// installer-host: plays the driver installer for the "Setup Progress"
// plug-in ZMX5wizwin32a.DLL. It lays out the package as the installer unpacks
// it (NativeDrivers\HVLNK32.dll in the package folder, which becomes the
// current directory), opens its own main window, builds the installer
// records, loads the plug-in and drives it through Update while it copies an
// install image into a Windows directory file by file, pumping its messages
// between the calls (the progress window is modeless on this thread).
//
// Scripted run (default): create, a first update, one update per copied
// file with progress 0..1000, hide, show again, destroy, exit 0.
// Hold mode (--hold): reads commands from standard input, one a line, runs
// each on the window thread and answers one line on standard output:
//   create                 Update type 0            -> "hwnd 0x..."
//   update P [TEXT]        Update type 1, progress P, TEXT (\n \r \\ escapes)
//                          or a null text without   -> "result 0x..."
//   place N                place code of the next updates -> "ok"
//   hide | destroy         Update type 2 | 3        -> "result 0x..."
//   copy                   the copying run          -> "copied N" | "cancelled N"
//   minimize | restore     the progress window      -> "ok"
//   pump MS                pumps messages for MS ms -> "ok"
//   quit                   closes the main window and exits 0
// End of input acts as quit.
//
// Exit codes: 0 done, 1 bad arguments, 2 plug-in or Update missing,
// 3 create returned 0, 4 a copy or folder failed, 5 cancelled by the user.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testkit/installer_host/installer_kit.h"

namespace {

const char kHostClass[] = "HalveryDriverInstallerHost";
const char kHostCaption[] = "Halvery Driver Installer";
const UINT kCommandArrived = WM_APP + 1;

struct Options {
    std::string plugin = "ZMX5wizwin32a.DLL";
    std::string package, driver, image, target, logFile;
    bool noDriver = false, hold = false, texts = true, appTitleDefined = true;
    std::string appTitle = "Driver Setup";
    int dialog = kDialogOwned;
    uint32_t place = 4;
    installer::PictureKind picture = installer::PictureKind::kNone;
    uint32_t colour = 0;
    DWORD pace = 0;
    int x = 100, y = 100, width = 640, height = 480;
};

struct Host {
    Options options;
    HWND main = nullptr;
    HWND progress = nullptr;
    HMODULE plugin = nullptr;
    installer::UpdateFunction update = nullptr;
    installer::Variables variables{32, 128};
    installer::Texts texts{"Cancel", "Current", "All", "&Next >", "< &Back"};
    std::vector<uint8_t> picture;
    InstallerInfo info{};
    uint32_t place = 4;
    bool quit = false;
    std::mutex lock;
    std::deque<std::string> pending;  // commands not yet run
    FILE* log = nullptr;
};

Host host;

// One line on standard output (the hold-mode answers) and in the log file.
void Say(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (length < 0) return;
    if (length > static_cast<int>(sizeof line) - 2) length = sizeof line - 2;
    line[length++] = '\n';
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD written;
    if (out != nullptr && out != INVALID_HANDLE_VALUE) ::WriteFile(out, line, static_cast<DWORD>(length), &written, nullptr);
    if (host.log != nullptr) {
        std::fwrite(line, 1, static_cast<size_t>(length), host.log);
        std::fflush(host.log);
    }
}

// Runs the window messages that are waiting, or that arrive within `ms`.
// False once the main window has gone.
bool Pump(DWORD ms) {
    DWORD start = ::GetTickCount();
    for (;;) {
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                host.quit = true;
                return false;
            }
            if (host.progress != nullptr && ::IsWindow(host.progress) && ::IsDialogMessageA(host.progress, &msg)) continue;
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
        DWORD elapsed = ::GetTickCount() - start;
        if (elapsed >= ms) return !host.quit;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_ALLINPUT);
    }
}

std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            char next = text[++i];
            out += next == 'n' ? '\n' : next == 'r' ? '\r' : next == 't' ? '\t' : next;
        } else {
            out += text[i];
        }
    }
    return out;
}

uintptr_t Update(uint32_t type, const char* text, uint32_t progress) {
    host.variables.Attach(&host.info);
    return host.update(type, host.place, &host.info, text, progress, 0);
}

// Files of `directory` and its folders, as paths relative to it.
void ListFiles(const std::string& directory, const std::string& relative, std::vector<std::string>* files) {
    WIN32_FIND_DATAA found;
    std::string pattern = directory + (relative.empty() ? "" : "\\" + relative) + "\\*";
    HANDLE search = ::FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        std::string path = relative.empty() ? name : relative + "\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ListFiles(directory, path, files);
        else files->push_back(path);
    } while (::FindNextFileA(search, &found));
    ::FindClose(search);
}

// Creates `path` and the folders above it.
bool MakeDirectories(const std::string& path) {
    if (path.empty() || ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    size_t slash = path.find_last_of('\\');
    if (slash != std::string::npos && slash > 2 && !MakeDirectories(path.substr(0, slash))) return false;
    return ::CreateDirectoryA(path.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS;
}

// Copies the install image into the target directory, one Update before
// each file. Returns the files copied; -1 when the user pressed a button of
// the progress window (Update answered with its handle), -2 on a failure.
int CopyImage(int* copied) {
    *copied = 0;
    std::vector<std::string> files;
    ListFiles(host.options.image, "", &files);
    if (host.options.image.empty() || host.options.target.empty() || !MakeDirectories(host.options.target)) return -2;
    for (size_t i = 0; i < files.size(); ++i) {
        std::string source = host.options.image + "\\" + files[i];
        std::string target = host.options.target + "\\" + files[i];
        std::string text = "Copying file:\n" + target;
        uint32_t progress = static_cast<uint32_t>(i * 1000 / files.size());
        if (Update(kUpdateUpdate, text.c_str(), progress) != 0) return -1;
        size_t slash = target.find_last_of('\\');
        if (!MakeDirectories(target.substr(0, slash)) || !::CopyFileA(source.c_str(), target.c_str(), FALSE)) {
            Say("error cannot copy %s to %s (%lu)", source.c_str(), target.c_str(), ::GetLastError());
            return -2;
        }
        ++*copied;
        if (!Pump(host.options.pace)) return -2;
    }
    if (Update(kUpdateUpdate, "All files have been copied.", 1000) != 0) return -1;
    return *copied;
}

// Runs one command; the answer goes to standard output. False ends the run
// with `*exitCode`.
bool Execute(const std::string& line, int* exitCode) {
    std::string word = line.substr(0, line.find(' '));
    std::string rest = line.size() > word.size() ? line.substr(word.size() + 1) : std::string();
    if (word == "create") {
        host.info.flags = host.options.dialog == kDialogOwned ? 1u : 0u;
        host.progress = reinterpret_cast<HWND>(Update(kUpdateCreate, nullptr, 0));
        Say("hwnd 0x%08lX", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(host.progress)));
        if (host.progress == nullptr) {
            *exitCode = 3;
            return false;
        }
    } else if (word == "update") {
        char* end = nullptr;
        uint32_t progress = static_cast<uint32_t>(std::strtoul(rest.c_str(), &end, 10));
        std::string text = *end == ' ' ? Unescape(end + 1) : std::string();
        uintptr_t result = Update(kUpdateUpdate, *end == ' ' ? text.c_str() : nullptr, progress);
        Say("result 0x%08lX", static_cast<unsigned long>(result));
    } else if (word == "place") {
        host.place = static_cast<uint32_t>(std::strtoul(rest.c_str(), nullptr, 0));
        Say("ok");
    } else if (word == "hide" || word == "destroy") {
        uintptr_t result = Update(word == "hide" ? kUpdateHide : kUpdateDestroy, nullptr, 0);
        if (word == "destroy") host.progress = nullptr;
        Say("result 0x%08lX", static_cast<unsigned long>(result));
    } else if (word == "copy") {
        int copied = 0;
        int outcome = CopyImage(&copied);
        if (outcome == -2) {
            *exitCode = 4;
            return false;
        }
        Say(outcome == -1 ? "cancelled %d" : "copied %d", copied);
        if (outcome == -1 && !host.options.hold) *exitCode = 5;
    } else if (word == "minimize" || word == "restore") {
        ::ShowWindow(host.progress, word == "minimize" ? SW_MINIMIZE : SW_RESTORE);
        Say("ok");
    } else if (word == "pump") {
        Pump(static_cast<DWORD>(std::strtoul(rest.c_str(), nullptr, 10)));
        Say("ok");
    } else if (word == "quit") {
        Say("bye");
        ::DestroyWindow(host.main);
        return false;
    } else {
        Say("error unknown command: %s", line.c_str());
    }
    return true;
}

LRESULT CALLBACK HostWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case kCommandArrived: {
        std::string* line = reinterpret_cast<std::string*>(lParam);
        {
            std::lock_guard<std::mutex> guard(host.lock);
            host.pending.push_back(*line);
        }
        delete line;
        return 0;
    }
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        // The installer's backdrop: a blue gradient with its name.
        PAINTSTRUCT paint;
        HDC dc = ::BeginPaint(window, &paint);
        RECT client;
        ::GetClientRect(window, &client);
        for (int band = 0; band < 64; ++band) {
            RECT part{client.left, client.bottom * band / 64, client.right, client.bottom * (band + 1) / 64};
            HBRUSH brush = ::CreateSolidBrush(RGB(0, 0, 160 - band * 2));
            ::FillRect(dc, &part, brush);
            ::DeleteObject(brush);
        }
        HFONT font = ::CreateFontA(-28, 0, 0, 0, FW_BOLD, TRUE, FALSE, FALSE, ANSI_CHARSET, OUT_DEFAULT_PRECIS,
                                   CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, VARIABLE_PITCH | FF_SWISS, "Arial");
        HGDIOBJ previous = ::SelectObject(dc, font);
        ::SetBkMode(dc, TRANSPARENT);
        ::SetTextColor(dc, RGB(255, 255, 255));
        ::TextOutA(dc, 16, 12, "Halvery Group Driver Setup", 26);
        ::SelectObject(dc, previous);
        ::DeleteObject(font);
        ::EndPaint(window, &paint);
        return 0;
    }
    case WM_CLOSE:
        return 0;  // the installer closes itself when done
    case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
    default:
        return ::DefWindowProcA(window, message, wParam, lParam);
    }
}

// Hold mode: each line of standard input goes to the window thread.
void ReadCommands(HWND window) {
    HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    std::string buffer;
    char chunk[512];
    DWORD got = 0;
    while (in != nullptr && in != INVALID_HANDLE_VALUE && ::ReadFile(in, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        buffer.append(chunk, got);
        size_t end;
        while ((end = buffer.find('\n')) != std::string::npos) {
            std::string line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty()) ::PostMessageA(window, kCommandArrived, 0, reinterpret_cast<LPARAM>(new std::string(line)));
        }
    }
    ::PostMessageA(window, kCommandArrived, 0, reinterpret_cast<LPARAM>(new std::string("quit")));
}

void Usage() {
    Say("usage: installer-host [--plugin DLL] [--package DIR] [--driver FILE | --no-driver] [--image DIR]"
        " [--target DIR] [--dialog 1540|1541] [--place N] [--picture none|8bit|24bit] [--colour RRGGBB]"
        " [--apptitle TEXT | --no-apptitle] [--no-texts] [--pace MS] [--window X,Y,W,H] [--log FILE] [--hold]");
}

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        bool hasValue = i + 1 < argc;
        auto value = [&]() { return std::string(argv[++i]); };
        if (name == "--hold") options->hold = true;
        else if (name == "--no-driver") options->noDriver = true;
        else if (name == "--no-texts") options->texts = false;
        else if (name == "--no-apptitle") options->appTitleDefined = false;
        else if (!hasValue) return false;
        else if (name == "--plugin") options->plugin = value();
        else if (name == "--package") options->package = value();
        else if (name == "--driver") options->driver = value();
        else if (name == "--image") options->image = value();
        else if (name == "--target") options->target = value();
        else if (name == "--log") options->logFile = value();
        else if (name == "--apptitle") options->appTitle = value();
        else if (name == "--dialog") options->dialog = std::atoi(value().c_str());
        else if (name == "--place") options->place = static_cast<uint32_t>(std::strtoul(value().c_str(), nullptr, 0));
        else if (name == "--colour") options->colour = static_cast<uint32_t>(std::strtoul(value().c_str(), nullptr, 16));
        else if (name == "--pace") options->pace = static_cast<DWORD>(std::atoi(value().c_str()));
        else if (name == "--picture") {
            if (!installer::ParsePictureKind(value(), &options->picture)) return false;
        } else if (name == "--window") {
            if (std::sscanf(value().c_str(), "%d,%d,%d,%d", &options->x, &options->y, &options->width, &options->height) != 4)
                return false;
        } else {
            return false;
        }
    }
    return options->dialog == kDialogOwned || options->dialog == kDialogPlain;
}

// The package as the installer unpacks it; it becomes the current directory.
bool PreparePackage(const Options& options) {
    if (options.package.empty()) return true;
    std::string drivers = options.package + "\\NativeDrivers";
    std::string library = drivers + "\\HVLNK32.dll";
    if (!MakeDirectories(drivers)) return false;
    std::string driver = options.driver;
    if (driver.empty() && !options.image.empty()) driver = options.image + "\\HVLNK32.DLL";
    if (options.noDriver) {
        ::DeleteFileA(library.c_str());
    } else if (!driver.empty() && !::CopyFileA(driver.c_str(), library.c_str(), FALSE)) {
        Say("error cannot copy %s to %s (%lu)", driver.c_str(), library.c_str(), ::GetLastError());
        return false;
    }
    return ::SetCurrentDirectoryA(options.package.c_str()) != 0;
}

void BuildRecords(HINSTANCE instance) {
    const Options& options = host.options;
    host.variables.Add("%SRCDIR%", "C:\\Setup");
    host.variables.Add("%MAINDIR%", "C:\\Program Files\\Halvery Group\\Drivers");
    host.variables.Add("%WIN%", "C:\\Windows");
    if (options.appTitleDefined) host.variables.Add("%APPTITLE%", options.appTitle);
    host.variables.Add("%SYS32%", "C:\\Windows\\System32");
    host.variables.Attach(&host.info);
    host.info.installerWindow = host.main;
    host.info.texts = options.texts ? host.texts.record() : nullptr;
    host.info.flags = options.dialog == kDialogOwned ? 1u : 0u;
    host.info.module = instance;
    host.picture = installer::MakePicture(options.picture, 44, 44);  // about the picture place of dialog 1541
    host.info.picture = host.picture.empty() ? nullptr : host.picture.data();
    host.info.colour = options.colour;
    host.place = options.place;
}

}  // namespace

int main(int argc, char** argv) {
    if (!ParseOptions(argc, argv, &host.options)) {
        Usage();
        return 1;
    }
    const Options& options = host.options;
    if (!options.logFile.empty()) host.log = std::fopen(options.logFile.c_str(), "a");
    if (!PreparePackage(options)) return 4;

    HINSTANCE instance = ::GetModuleHandleA(nullptr);
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = HostWindow;
    windowClass.hInstance = instance;
    windowClass.hIcon = ::LoadIconA(instance, MAKEINTRESOURCEA(kIconInstaller));
    windowClass.hCursor = ::LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    windowClass.lpszClassName = kHostClass;
    ::RegisterClassA(&windowClass);
    host.main = ::CreateWindowExA(0, kHostClass, kHostCaption, WS_OVERLAPPEDWINDOW, options.x, options.y, options.width,
                                  options.height, nullptr, nullptr, instance, nullptr);
    if (host.main == nullptr) return 2;
    ::ShowWindow(host.main, SW_SHOWNORMAL);
    ::UpdateWindow(host.main);
    Pump(0);

    host.plugin = ::LoadLibraryA(options.plugin.c_str());
    if (host.plugin != nullptr) {
        host.update = reinterpret_cast<installer::UpdateFunction>(
            reinterpret_cast<void*>(::GetProcAddress(host.plugin, "Update")));
    }
    if (host.update == nullptr) {
        Say("error cannot load Update from %s (%lu)", options.plugin.c_str(), ::GetLastError());
        return 2;
    }
    BuildRecords(instance);

    int exitCode = 0;
    if (options.hold) {
        std::thread reader(ReadCommands, host.main);
        reader.detach();  // blocked in ReadFile until input ends; the exit ends it
        Say("ready");
        bool running = true;
        while (running && Pump(0)) {
            std::string line;
            {
                std::lock_guard<std::mutex> guard(host.lock);
                if (!host.pending.empty()) {
                    line = host.pending.front();
                    host.pending.pop_front();
                }
            }
            if (line.empty()) {
                ::MsgWaitForMultipleObjects(0, nullptr, FALSE, INFINITE, QS_ALLINPUT);
                continue;
            }
            running = Execute(line, &exitCode);
        }
    } else {
        const char* script[] = {"create",
                                "update 0 Preparing to install the Halvery Group adapter drivers...",
                                "copy",
                                "hide",
                                "update 1000 Updating the system configuration...",
                                "destroy",
                                "quit"};
        for (const char* line : script) {
            if (!Execute(line, &exitCode) || exitCode != 0) break;
            Pump(options.pace);
        }
        if (exitCode != 0 && host.progress != nullptr) {  // cancelled or failed: close the window as the installer would
            Execute("hide", &exitCode);
            Execute("destroy", &exitCode);
        }
    }
    if (::IsWindow(host.main)) ::DestroyWindow(host.main);
    // With the progress window still open the animation thread may still run
    // in the library: the end of the process takes both down instead.
    if (host.progress == nullptr) ::FreeLibrary(host.plugin);
    if (host.log != nullptr) std::fclose(host.log);
    return exitCode;
}
