#include "testkit/installer_host/installer_player.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace installer {

namespace {

const DWORD kWait = 10000;

// The watch over calls into the plug-in.
std::atomic<DWORD> gCallStart{0};
std::atomic<const char*> gCall{nullptr};

class CallWatch {
public:
    explicit CallWatch(const char* call) {
        static std::once_flag started;
        std::call_once(started, [] {
            std::thread([] {
                for (;;) {
                    ::Sleep(200);
                    const char* current = gCall.load();
                    if (current != nullptr && ::GetTickCount() - gCallStart.load() > 20000) {
                        std::fprintf(stderr, "FATAL: %s has not returned after 20 s\n", current);
                        std::fflush(stderr);
                        ::TerminateProcess(::GetCurrentProcess(), 3);
                    }
                }
            }).detach();
        });
        gCallStart = ::GetTickCount();
        gCall = call;
    }
    ~CallWatch() { gCall = nullptr; }
};

struct AnimateCount {
    DWORD processId;
    int found;
};
BOOL CALLBACK CountAnimateChild(HWND child, LPARAM lParam) {
    char name[64] = {};
    ::GetClassNameA(child, name, sizeof name);
    reinterpret_cast<AnimateCount*>(lParam)->found += std::string(name) == "AnimateWindow";
    return TRUE;
}
BOOL CALLBACK CountAnimateTop(HWND window, LPARAM lParam) {
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner == reinterpret_cast<AnimateCount*>(lParam)->processId) ::EnumChildWindows(window, CountAnimateChild, lParam);
    return TRUE;
}

}  // namespace

std::string ProgramDir() {
    char path[MAX_PATH];
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string text = path;
    return text.substr(0, text.find_last_of('\\'));
}

void Pump(DWORD ms) {
    DWORD start = ::GetTickCount();
    do {
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    } while (::GetTickCount() - start < ms);
}

COLORREF Shot::At(int x, int y) const {
    return pixels[static_cast<size_t>(y - area.top) * (area.right - area.left) + (x - area.left)];
}

Shot Capture(const RECT& area) {
    Shot shot;
    shot.area = area;
    int width = area.right - area.left, height = area.bottom - area.top;
    if (width <= 0 || height <= 0) return shot;
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};  // top-down
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    ::GdiFlush();
    const BYTE* bytes = static_cast<const BYTE*>(bits);
    shot.pixels.reserve(static_cast<size_t>(width) * height);
    for (int i = 0; i < width * height; ++i) shot.pixels.push_back(RGB(bytes[i * 4 + 2], bytes[i * 4 + 1], bytes[i * 4]));
    ::SelectObject(memory, previous);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    return shot;
}

int Differences(const Shot& a, const Shot& b, const RECT& part, bool inside) {
    int count = 0;
    for (int y = a.area.top; y < a.area.bottom; ++y) {
        for (int x = a.area.left; x < a.area.right; ++x) {
            POINT p{x, y};
            if ((::PtInRect(&part, p) != 0) == inside && a.At(x, y) != b.At(x, y)) ++count;
        }
    }
    return count;
}

RECT ScreenRect(HWND window) {
    RECT rect{};
    ::GetWindowRect(window, &rect);
    return rect;
}

int ChangedIntervals(const std::vector<Shot>& shots, const RECT& area) {
    int changed = 0;
    for (size_t i = 1; i < shots.size(); ++i) changed += Differences(shots[i - 1], shots[i], area, true) > 0;
    return changed;
}

std::vector<std::string> FilesOf(const std::string& directory) {
    std::vector<std::string> files;
    WIN32_FIND_DATAA found;
    HANDLE search = ::FindFirstFileA((directory + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return files;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) files.push_back(found.cFileName);
    } while (::FindNextFileA(search, &found));
    ::FindClose(search);
    return files;
}

std::string FileBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

bool Player::Start(const std::string& pluginPath) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = ::DefWindowProcA;
    windowClass.hInstance = ::GetModuleHandleA(nullptr);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_APPWORKSPACE + 1);
    windowClass.lpszClassName = "PlayedDriverInstaller";
    ::RegisterClassA(&windowClass);
    installerWindow = ::CreateWindowExA(0, "PlayedDriverInstaller", "Halvery Driver Installer", WS_OVERLAPPEDWINDOW, 150,
                                        100, 100, 100, nullptr, nullptr, ::GetModuleHandleA(nullptr), nullptr);
    if (installerWindow == nullptr) return false;
    SetInstallerClientSize(960, 720);
    ::ShowWindow(installerWindow, SW_SHOWNORMAL);
    info.installerWindow = installerWindow;
    info.module = ::GetModuleHandleA(nullptr);  // icon 108
    plugin_ = ::LoadLibraryA(pluginPath.c_str());
    if (plugin_ != nullptr) {
        update_ = reinterpret_cast<UpdateFunction>(reinterpret_cast<void*>(::GetProcAddress(plugin_, "Update")));
    }
    Pump(100);
    return update_ != nullptr;
}

Player::~Player() {
    if (progress != nullptr && ::IsWindow(progress)) Call(kUpdateDestroy);
    Pump(50);
    if (plugin_ != nullptr) {
        ::UnregisterClassA("AnimateWindow", plugin_);
        ::UnregisterClassA("AnimateWindow", ::GetModuleHandleA(nullptr));
        ::FreeLibrary(plugin_);
    }
    if (installerWindow != nullptr) ::DestroyWindow(installerWindow);
}

void Player::SetInstallerClientSize(int width, int height) {
    RECT rect{0, 0, width, height};
    ::AdjustWindowRect(&rect, WS_OVERLAPPEDWINDOW, FALSE);
    ::SetWindowPos(installerWindow, nullptr, 0, 0, rect.right - rect.left, rect.bottom - rect.top,
                   SWP_NOMOVE | SWP_NOZORDER);
}

uintptr_t Player::Call(uint32_t type, const char* text, uint32_t progressValue) {
    static const char* const names[] = {"Update type 0", "Update type 1", "Update type 2", "Update type 3"};
    CallWatch watch(names[type & 3]);
    variables.Attach(&info);
    uintptr_t result = update_(type, place, &info, text, progressValue, 0xDEADBEEF);
    if (type == kUpdateCreate) progress = reinterpret_cast<HWND>(result);
    return result;
}

HWND Player::Show(int dialog, const char* text) {
    info.flags = dialog == kDialogOwned ? 1u : 0u;
    if (Call(kUpdateCreate) == 0 || Call(kUpdateUpdate, text, 0) != 0) return nullptr;
    Pump(300);
    return progress;
}

RECT Player::ControlRect(int id) const {
    RECT rect = ScreenRect(::GetDlgItem(progress, id));
    ::MapWindowPoints(nullptr, progress, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

HWND Player::AnimationWindow() const {
    for (DWORD start = ::GetTickCount(); ::GetTickCount() - start < kWait; Pump(20)) {
        if (HWND found = ::FindWindowExA(progress, nullptr, "AnimateWindow", nullptr)) return found;
    }
    return nullptr;
}

std::vector<Shot> Player::Shots(int count, DWORD interval) const {
    std::vector<Shot> shots;
    for (int i = 0; i < count; ++i) {
        if (i > 0) Pump(interval);
        shots.push_back(Capture(ScreenRect(progress)));
    }
    return shots;
}

bool HostProcess::Start(const std::string& exePath, const std::string& arguments, bool hold) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    HANDLE childIn = nullptr, childOut = nullptr;
    if (hold) {
        if (!::CreatePipe(&childIn, &toHost_, &inherit, 0) || !::CreatePipe(&fromHost_, &childOut, &inherit, 0)) return false;
        ::SetHandleInformation(toHost_, HANDLE_FLAG_INHERIT, 0);
        ::SetHandleInformation(fromHost_, HANDLE_FLAG_INHERIT, 0);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = childIn;
        startup.hStdOutput = childOut;
        startup.hStdError = childOut;
    }
    std::string command = "\"" + exePath + "\" " + arguments;
    bool started = ::CreateProcessA(exePath.c_str(), &command[0], nullptr, nullptr, hold, 0, nullptr, nullptr, &startup,
                                    &program.info) != 0;
    if (childIn != nullptr) ::CloseHandle(childIn);
    if (childOut != nullptr) ::CloseHandle(childOut);
    return started;
}

std::string HostProcess::Command(const std::string& line) {
    DWORD written;
    std::string sent = line + "\n";
    if (!line.empty()) ::WriteFile(toHost_, sent.data(), static_cast<DWORD>(sent.size()), &written, nullptr);
    for (DWORD start = ::GetTickCount(); ::GetTickCount() - start < kWait; ::Sleep(10)) {
        size_t end = received_.find('\n');
        if (end != std::string::npos) {
            std::string answer = received_.substr(0, end);
            received_.erase(0, end + 1);
            if (!answer.empty() && answer.back() == '\r') answer.pop_back();
            return answer;
        }
        DWORD available = 0;
        if (::PeekNamedPipe(fromHost_, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            char chunk[512];
            DWORD got = 0;
            if (::ReadFile(fromHost_, chunk, available < sizeof chunk ? available : sizeof chunk, &got, nullptr)) {
                received_.append(chunk, got);
            }
        }
    }
    return "";
}

HostProcess::~HostProcess() {
    if (toHost_ != nullptr) ::CloseHandle(toHost_);
    if (fromHost_ != nullptr) ::CloseHandle(fromHost_);
    if (program.info.hProcess != nullptr) gui::WaitForExit(&program, 0);
}

int AnimateWindows(DWORD processId) {
    AnimateCount count{processId, 0};
    ::EnumWindows(CountAnimateTop, reinterpret_cast<LPARAM>(&count));
    return count.found;
}

}  // namespace installer
