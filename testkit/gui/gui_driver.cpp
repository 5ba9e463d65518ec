#include "testkit/gui/gui_driver.h"

#include <cstdio>
#include <map>

namespace gui {

namespace {

struct Search {
    DWORD processId;
    const char* caption;
    int controlId;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM lParam) {
    Search* search = reinterpret_cast<Search*>(lParam);
    DWORD processId = 0;
    ::GetWindowThreadProcessId(window, &processId);
    if (processId != search->processId || !::IsWindowVisible(window)) return TRUE;
    char className[64] = {};
    ::GetClassNameA(window, className, sizeof className);
    if (std::string(className) != "#32770") return TRUE;
    if (Text(window) != search->caption) return TRUE;
    if (::GetDlgItem(window, search->controlId) == nullptr) return TRUE;
    search->found = window;
    return FALSE;
}

HWND FindDialog(DWORD processId, const char* caption, int controlId) {
    Search search{processId, caption, controlId, nullptr};
    ::EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool Answers(HWND window) {
    DWORD_PTR ignored;
    return ::SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &ignored) != 0;
}

const int kMessageBoxText = 0xFFFF;

}  // namespace

bool Program::running() const {
    return info.hProcess != nullptr && ::WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT;
}

bool Start(const std::string& exePath, const std::string& directory, Program* program) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::string commandLine = "\"" + exePath + "\"";
    return ::CreateProcessA(exePath.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                            directory.empty() ? nullptr : directory.c_str(), &startup, &program->info) != 0;
}

int WaitForExit(Program* program, DWORD timeoutMs) {
    if (program->info.hProcess == nullptr) return -1;
    DWORD code = static_cast<DWORD>(-1);
    if (::WaitForSingleObject(program->info.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        ::GetExitCodeProcess(program->info.hProcess, &code);
    } else {
        ::TerminateProcess(program->info.hProcess, 99);
        ::WaitForSingleObject(program->info.hProcess, 5000);
    }
    ::CloseHandle(program->info.hProcess);
    ::CloseHandle(program->info.hThread);
    program->info = PROCESS_INFORMATION{};
    return static_cast<int>(code);
}

HWND WaitForDialog(const Program& program, const char* caption, int controlId, DWORD timeoutMs) {
    DWORD start = ::GetTickCount();
    do {
        HWND found = FindDialog(program.info.dwProcessId, caption, controlId);
        if (found != nullptr && Answers(found)) return found;
        ::Sleep(20);
    } while (::GetTickCount() - start < timeoutMs);
    return nullptr;
}

HWND FindMessageBox(const Program& program, const char* caption) {
    return FindDialog(program.info.dwProcessId, caption, kMessageBoxText);
}

HWND WaitForMessageBox(const Program& program, const char* caption, DWORD timeoutMs) {
    return WaitForDialog(program, caption, kMessageBoxText, timeoutMs);
}

std::string MessageBoxText(HWND box) { return ControlText(box, kMessageBoxText); }

bool AnswerMessageBox(HWND box, DWORD timeoutMs) {
    ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return WaitForClose(box, timeoutMs);
}

bool WaitForClose(HWND window, DWORD timeoutMs) {
    DWORD start = ::GetTickCount();
    while (::IsWindow(window)) {
        if (::GetTickCount() - start >= timeoutMs) return false;
        ::Sleep(10);
    }
    return true;
}

std::string Text(HWND window) {
    DWORD_PTR length = 0;
    if (!::SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) return "";
    std::string text(static_cast<size_t>(length) + 1, '\0');
    DWORD_PTR copied = 0;
    if (!::SendMessageTimeoutA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]), SMTO_ABORTIFHUNG,
                               5000, &copied)) {
        return "";
    }
    text.resize(static_cast<size_t>(copied));
    return text;
}

std::string ControlText(HWND dialog, int id) {
    HWND control = ::GetDlgItem(dialog, id);
    return control ? Text(control) : std::string();
}

std::vector<std::string> ListItems(HWND dialog, int listId) {
    std::vector<std::string> items;
    HWND list = ::GetDlgItem(dialog, listId);
    LRESULT count = ::SendMessageW(list, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        LRESULT length = ::SendMessageW(list, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
        if (length < 0) break;
        // Another process's list: ask in UTF-16, the form in which Wine carries
        // the text between processes, with room to spare.
        std::vector<wchar_t> wide(static_cast<size_t>(length) * 2 + 64, L'\0');
        ::SendMessageW(list, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(wide.data()));
        wide.back() = L'\0';
        char narrow[4096] = {};
        ::WideCharToMultiByte(CP_ACP, 0, wide.data(), -1, narrow, sizeof narrow - 1, nullptr, nullptr);
        items.push_back(narrow);
    }
    return items;
}

std::string ListCurrent(HWND dialog, int listId) {
    LRESULT current = ::SendMessageW(::GetDlgItem(dialog, listId), CB_GETCURSEL, 0, 0);
    if (current == CB_ERR) return "";
    std::vector<std::string> items = ListItems(dialog, listId);
    return static_cast<size_t>(current) < items.size() ? items[static_cast<size_t>(current)] : "";
}

bool SelectListItem(HWND dialog, int listId, int index) {
    HWND list = ::GetDlgItem(dialog, listId);
    if (::SendMessageA(list, CB_SETCURSEL, static_cast<WPARAM>(index), 0) != index) return false;
    // Setting the selection by message sends no notification: send the one a click would.
    DWORD_PTR ignored;
    return ::SendMessageTimeoutA(dialog, WM_COMMAND, MAKEWPARAM(listId, CBN_SELCHANGE),
                                 reinterpret_cast<LPARAM>(list), SMTO_ABORTIFHUNG, 10000, &ignored) != 0;
}

int FindListItem(HWND dialog, int listId, const std::string& text) {
    std::vector<std::string> items = ListItems(dialog, listId);
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i].compare(0, text.size(), text) == 0) return static_cast<int>(i);
    }
    return -1;
}

void Click(HWND dialog, int buttonId) {
    HWND button = ::GetDlgItem(dialog, buttonId);
    ::PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

void SystemCommand(HWND dialog, WPARAM command) { ::PostMessageA(dialog, WM_SYSCOMMAND, command, 0); }

COLORREF ScreenColour(HWND control) {
    RECT client;
    if (!::GetClientRect(control, &client) || client.right < 4 || client.bottom < 4) return CLR_INVALID;
    POINT origin{0, 0};
    ::ClientToScreen(control, &origin);
    HDC screen = ::GetDC(nullptr);
    std::map<COLORREF, int> seen;
    const int steps = 7;
    for (int i = 1; i <= steps; ++i) {
        for (int j = 1; j <= steps; ++j) {
            int x = origin.x + client.right * i / (steps + 1);
            int y = origin.y + client.bottom * j / (steps + 1);
            ++seen[::GetPixel(screen, x, y)];
        }
    }
    ::ReleaseDC(nullptr, screen);
    COLORREF most = CLR_INVALID;
    int count = 0;
    for (const auto& colour : seen) {
        if (colour.second > count) {
            most = colour.first;
            count = colour.second;
        }
    }
    return most;
}

COLORREF WaitForColour(HWND control, COLORREF expected, DWORD timeoutMs) {
    DWORD start = ::GetTickCount();
    COLORREF seen;
    while ((seen = ScreenColour(control)) != expected && ::GetTickCount() - start < timeoutMs) ::Sleep(50);
    return seen;
}

std::string ColourName(COLORREF colour) {
    switch (colour) {
    case RGB(0, 255, 0): return "green";
    case RGB(255, 0, 0): return "red";
    case RGB(255, 255, 255): return "white";
    case RGB(255, 255, 0): return "yellow";
    default: break;
    }
    char text[16];
    std::snprintf(text, sizeof text, "#%02X%02X%02X", GetRValue(colour), GetGValue(colour), GetBValue(colour));
    return text;
}

bool SaveWindowPicture(HWND window, const std::string& path) {
    RECT area;
    if (!::GetWindowRect(window, &area)) return false;
    // Only what is on the screen can be read from it.
    RECT screenArea{0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
    if (!::IntersectRect(&area, &area, &screenArea)) return false;
    int width = area.right - area.left, height = area.bottom - area.top;
    if (width <= 0 || height <= 0) return false;
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;  // bottom-up, as BMP files store it
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool saved = false;
    if (bitmap != nullptr) {
        HGDIOBJ previous = ::SelectObject(memory, bitmap);
        ::BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
        ::GdiFlush();
        DWORD rowBytes = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
        DWORD imageBytes = rowBytes * static_cast<DWORD>(height);
        BITMAPFILEHEADER header{};
        header.bfType = 0x4D42;  // "BM"
        header.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
        header.bfSize = header.bfOffBits + imageBytes;
        info.bmiHeader.biSizeImage = imageBytes;
        if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
            saved = std::fwrite(&header, sizeof header, 1, file) == 1 &&
                    std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, file) == 1 &&
                    std::fwrite(bits, 1, imageBytes, file) == imageBytes;
            saved = std::fclose(file) == 0 && saved;
        }
        ::SelectObject(memory, previous);
        ::DeleteObject(bitmap);
    }
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    return saved;
}

std::string WinePath(const std::string& posixPath) {
    if (posixPath.empty() || posixPath[0] != '/') return posixPath;
    std::string path = "Z:" + posixPath;
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

}  // namespace gui
