// ZMX5wizwin32a.DLL: the driver installer's "Setup Progress" window.
//
// The installer drives it through Update (create, update, hide, destroy) on
// its own thread, which also runs the window's dialog procedure. A second
// thread, started at the first shown update, runs the animation: a child
// window over the animation area that moves an adapter icon from the
// installer's icon to a PC icon, one step every 150 ms. The two threads share
// only the flags and the frame number below, all atomic. Texts, caption,
// placing and the animation thread are set up once per load of the library.
#include "installer-plugin/installer_records.h"
#include "installer-plugin/progress_logic.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
uintptr_t __stdcall Update(uint32_t type, uint32_t place, InstallerInfo* info, const char* text, uint32_t progress,
                           uint32_t sixth);
INT_PTR __stdcall ProgressDlg(HWND window, UINT message, WPARAM first, LPARAM second);
}

namespace {

constexpr UINT_PTR kAnimationTimer = 25;
constexpr UINT kAnimationPeriod = 150;   // ms per step
constexpr int kIconCount = 22;           // icon 108, then 111..131
const char kAnimationClass[] = "AnimateWindow";

HINSTANCE g_module = nullptr;

struct Plugin {
    HWND dialog = nullptr;
    HWND installer = nullptr;              // the installer's main window, as last passed
    HICON icons[kIconCount] = {};
    HFONT lightFont = nullptr;
    HFONT boldFont = nullptr;
    HPALETTE palette = nullptr;
    std::string caption;                   // the remembered caption (at most 255 characters)
    // Shared with the animation thread.
    std::atomic<int> frame{1};
    std::atomic<bool> hidden{true};
    std::atomic<bool> justShown{false};
    std::atomic<bool> paused{false};
    std::atomic<bool> keepRunning{true};
    std::atomic<bool> animationRunning{false};
    // The installer's thread only.
    bool commandReceived = false;
    bool textsSet = false;
    bool captionSet = false;
    bool placed = false;
    bool animationStarted = false;
    uint32_t placeCode = 0;
    uint32_t progress = 0;                 // of the last update (the "All" bar)
    HANDLE thread = nullptr;
    POINT picturePlace = {0, 0};
    bool hasPicturePlace = false;
    const uint8_t* picture = nullptr;
    COLORREF colour = 0;
    RECT bars[2] = {};                     // 1003 "Current", 1002 "All", client coordinates
    RECT animationArea = {};               // 1005
    RECT separator = {};                   // 1006
};
Plugin g;

// ---- Drawing -------------------------------------------------------------------------

// The dialog's base units in pixels (horizontal, vertical).
void BaseUnits(HWND dialog, int* bx, int* by) {
    RECT r = {0, 0, 4, 8};
    MapDialogRect(dialog, &r);
    *bx = r.right;
    *by = r.bottom;
}

// Draws the current frame at the area's origin (x0, y0) of `dc`, through an
// off-screen bitmap, in one copy.
void DrawFrame(HDC dc, int x0, int y0, int width, int height) {
    if (g.dialog == nullptr || width <= 0 || height <= 0) return;
    HDC memory = CreateCompatibleDC(dc);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, width, height);
    if (memory == nullptr || bitmap == nullptr) {
        if (bitmap != nullptr) DeleteObject(bitmap);
        if (memory != nullptr) DeleteDC(memory);
        return;
    }
    HGDIOBJ old = SelectObject(memory, bitmap);
    RECT all = {0, 0, width, height};
    FillRect(memory, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    int bx = 0, by = 0;
    BaseUnits(g.dialog, &bx, &by);
    if (g.icons[0] != nullptr) DrawIconEx(memory, 0, by, g.icons[0], 0, 0, 0, nullptr, DI_NORMAL);
    if (g.icons[1] != nullptr) DrawIconEx(memory, 113 * bx / 4, by, g.icons[1], 0, 0, 0, nullptr, DI_NORMAL);
    int frame = g.frame.load();
    PlacePoint step = AnimationStep(frame);
    HICON moving = g.icons[1 + MovingIconId(frame) - kIconFirst];
    if (moving != nullptr) DrawIconEx(memory, step.x * bx / 4, step.y * by / 8, moving, 0, 0, 0, nullptr, DI_NORMAL);
    BitBlt(dc, x0, y0, width, height, memory, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
}

void DrawBar(HDC dc, const RECT& place, int value) {
    RECT edge = place;
    DrawEdge(dc, &edge, BDR_SUNKENOUTER, BF_RECT);
    RECT inside = {place.left + 1, place.top + 1, place.right - 1, place.bottom - 1};
    FillRect(dc, &inside, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    BarGeometry bar = ComputeBarGeometry(place.bottom - place.top, place.right - place.left);
    int lit = LitSegments(bar, value);
    int top = place.top + (place.bottom - place.top - bar.segmentHeight) / 2;
    for (int i = 0; i < lit; ++i) {
        int left = place.left + 2 + i * (bar.segmentWidth + 2);
        RECT segment = {left, top, left + bar.segmentWidth, top + bar.segmentHeight};
        FillRect(dc, &segment, GetSysColorBrush(COLOR_HIGHLIGHT));
    }
}

// The installer's picture at the place of control 1007, centred with margins
// in an area sized from 150 x 163 dialog units, and framed.
void DrawPicture(HWND dialog, HDC dc) {
    const uint8_t* picture = g.picture;
    if (picture == nullptr || !g.hasPicturePlace) return;
    uint16_t w16, h16;
    uint32_t bitsOffset;
    std::memcpy(&w16, picture + kPictureWidth, 2);
    std::memcpy(&h16, picture + kPictureHeight, 2);
    std::memcpy(&bitsOffset, picture + kPictureBitsOffset, 4);
    const BITMAPINFO* info = reinterpret_cast<const BITMAPINFO*>(picture + kPictureInfo);
    const BITMAPINFOHEADER& header = info->bmiHeader;
    if (header.biSize < sizeof(BITMAPINFOHEADER) || w16 == 0 || h16 == 0) return;
    int w = w16, h = h16;
    RECT units = {0, 0, 100, 100};
    MapDialogRect(dialog, &units);
    int a = (h * units.bottom / 163 - h) / 2;
    int b = (w * units.right / 150 - w) / 2;
    RECT area = {g.picturePlace.x, g.picturePlace.y, g.picturePlace.x + w + 2 * b, g.picturePlace.y + h + 2 * a};
    if ((a != 0 || b != 0) && g.colour != 0) {
        HBRUSH brush = CreateSolidBrush(g.colour & 0xFFFFFF);
        FillRect(dc, &area, brush);
        DeleteObject(brush);
    }
    HPALETTE oldPalette = nullptr;
    if (header.biBitCount == 8) {
        if (g.palette == nullptr) {
            unsigned count = header.biClrUsed != 0 && header.biClrUsed <= 256 ? header.biClrUsed : 256;
            std::vector<uint8_t> storage(sizeof(LOGPALETTE) + count * sizeof(PALETTEENTRY));
            LOGPALETTE* log = reinterpret_cast<LOGPALETTE*>(storage.data());
            log->palVersion = 0x300;
            log->palNumEntries = static_cast<WORD>(count);
            const RGBQUAD* colours = reinterpret_cast<const RGBQUAD*>(reinterpret_cast<const uint8_t*>(info) + header.biSize);
            for (unsigned i = 0; i < count; ++i) {
                log->palPalEntry[i].peRed = colours[i].rgbRed;
                log->palPalEntry[i].peGreen = colours[i].rgbGreen;
                log->palPalEntry[i].peBlue = colours[i].rgbBlue;
                log->palPalEntry[i].peFlags = 0;
            }
            g.palette = CreatePalette(log);
        }
        if (g.palette != nullptr) {
            oldPalette = SelectPalette(dc, g.palette, FALSE);
            RealizePalette(dc);
        }
    }
    SetDIBitsToDevice(dc, area.left + b, area.top + a, static_cast<DWORD>(w), static_cast<DWORD>(h), 0, 0, 0,
                      static_cast<UINT>(h), picture + kPictureInfo + bitsOffset, info, DIB_RGB_COLORS);
    if (oldPalette != nullptr) SelectPalette(dc, oldPalette, FALSE);
    HPEN white = CreatePen(PS_SOLID, 1, RGB(255, 255, 255)), grey = CreatePen(PS_SOLID, 1, RGB(128, 128, 128));
    HGDIOBJ oldPen = SelectObject(dc, white);
    MoveToEx(dc, area.right - 1, area.top, nullptr);
    LineTo(dc, area.right - 1, area.bottom - 1);
    LineTo(dc, area.left - 1, area.bottom - 1);
    SelectObject(dc, grey);
    MoveToEx(dc, area.left, area.bottom - 1, nullptr);
    LineTo(dc, area.left, area.top);
    LineTo(dc, area.right, area.top);
    SelectObject(dc, oldPen);
    DeleteObject(white);
    DeleteObject(grey);
}

void Paint(HWND dialog) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(dialog, &ps);
    DrawPicture(dialog, dc);
    DrawBar(dc, g.bars[0], 0);
    DrawBar(dc, g.bars[1], static_cast<int>(g.progress));
    if (!g.animationRunning.load()) {
        const RECT& r = g.animationArea;
        DrawFrame(dc, r.left, r.top, r.right - r.left + 1, r.bottom - r.top + 1);
    }
    const RECT& s = g.separator;
    HPEN shadow = CreatePen(PS_SOLID, 1, GetSysColor(COLOR_BTNSHADOW));
    HPEN light = CreatePen(PS_SOLID, 1, GetSysColor(COLOR_WINDOW));
    HGDIOBJ oldPen = SelectObject(dc, shadow);
    MoveToEx(dc, s.left + 1, s.top + 1, nullptr);
    LineTo(dc, s.right + 1, s.top + 1);
    SelectObject(dc, light);
    MoveToEx(dc, s.left + 1, s.top + 2, nullptr);
    LineTo(dc, s.right + 1, s.top + 2);
    SelectObject(dc, oldPen);
    DeleteObject(shadow);
    DeleteObject(light);
    EndPaint(dialog, &ps);
}

// ---- The animation thread -----------------------------------------------------------

LRESULT CALLBACK AnimationProc(HWND window, UINT message, WPARAM first, LPARAM second) {
    switch (message) {
        case WM_DESTROY: PostQuitMessage(0); return 0;
        case WM_ERASEBKGND: return 1;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(window, &ps);
            RECT r;
            GetClientRect(window, &r);
            DrawFrame(dc, 0, 0, r.right, r.bottom);
            EndPaint(window, &ps);
            return 0;
        }
        case WM_TIMER:
            if (first != kAnimationTimer) break;
            if (g.hidden.load()) {
                ShowWindow(window, SW_HIDE);
                return 0;
            }
            if (!g.paused.load()) g.frame.fetch_add(1);
            if (g.justShown.exchange(false)) ShowWindow(window, SW_SHOW);
            if (g.frame.load() > 20) g.frame.store(0);
            RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
            return 0;
        default: break;
    }
    return DefWindowProcA(window, message, first, second);
}

DWORD WINAPI AnimationThread(LPVOID) {
    WNDCLASSA type = {};
    type.lpfnWndProc = AnimationProc;
    type.hInstance = g_module;
    type.hCursor = LoadCursor(nullptr, IDC_ARROW);
    type.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    type.lpszClassName = kAnimationClass;
    RegisterClassA(&type);  // already registered after an earlier window: fine
    const RECT& r = g.animationArea;
    HWND window = CreateWindowExA(WS_EX_NOPARENTNOTIFY, kAnimationClass, "", WS_CHILD | WS_VISIBLE, r.left, r.top,
                                  r.right - r.left + 1, r.bottom - r.top + 1, g.dialog, nullptr, g_module, nullptr);
    if (window == nullptr) return 0;
    g.animationRunning.store(true);
    ShowWindow(window, SW_SHOW);
    SetTimer(window, kAnimationTimer, kAnimationPeriod, nullptr);
    MSG message;
    bool quitPosted = false;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
        if (!g.keepRunning.load() && !quitPosted) {
            PostQuitMessage(0);
            quitPosted = true;
        }
    }
    KillTimer(window, kAnimationTimer);
    g.animationRunning.store(false);
    if (IsWindow(window)) DestroyWindow(window);
    return 0;
}

// Waits for the animation thread to end, handling the messages other threads
// send to this one meanwhile (the animation window is a child of the dialog).
void JoinAnimationThread() {
    if (g.thread == nullptr) return;
    for (;;) {
        DWORD woke = MsgWaitForMultipleObjects(1, &g.thread, FALSE, INFINITE, QS_SENDMESSAGE);
        if (woke != WAIT_OBJECT_0 + 1) break;
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    CloseHandle(g.thread);
    g.thread = nullptr;
}

// ---- The dialog procedure's set-up ----------------------------------------------------

// A child window's rectangle in the dialog's client coordinates (empty for
// none).
RECT ClientRectOf(HWND dialog, HWND child) {
    RECT r = {0, 0, 0, 0};
    if (child == nullptr) return r;
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

RECT ChildRect(HWND dialog, int id) { return ClientRectOf(dialog, GetDlgItem(dialog, id)); }

BOOL CALLBACK WidenChild(HWND child, LPARAM) {
    if (GetParent(child) != g.dialog) return TRUE;
    RECT r = ClientRectOf(g.dialog, child);
    r.left += r.left / 6;
    r.right += r.right / 6;
    MoveWindow(child, r.left, r.top, r.right - r.left, r.bottom - r.top, FALSE);
    bool bold = GetDlgCtrlID(child) == kIdHeading;
    SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(bold ? g.boldFont : g.lightFont), FALSE);
    return TRUE;
}

void InitialiseDialog(HWND dialog) {
    g.dialog = dialog;
    RECT w;
    GetWindowRect(dialog, &w);
    w.left += w.left / 6;
    w.right += w.right / 6;
    MoveWindow(dialog, w.left, w.top, w.right - w.left, w.bottom - w.top, FALSE);
    if (g.lightFont == nullptr || g.boldFont == nullptr) {
        HFONT font = reinterpret_cast<HFONT>(SendMessageA(dialog, WM_GETFONT, 0, 0));
        LOGFONTA log = {};
        if (font == nullptr || GetObjectA(font, sizeof log, &log) == 0) GetObjectA(GetStockObject(DEFAULT_GUI_FONT), sizeof log, &log);
        log.lfWeight = 300;
        if (g.lightFont == nullptr) g.lightFont = CreateFontIndirectA(&log);
        log.lfWeight = 700;
        if (g.boldFont == nullptr) g.boldFont = CreateFontIndirectA(&log);
    }
    EnumChildWindows(dialog, WidenChild, 0);
    g.bars[0] = ChildRect(dialog, kIdBarCurrent);
    g.bars[1] = ChildRect(dialog, kIdBarAll);
    g.animationArea = ChildRect(dialog, kIdAnimation);
    g.separator = ChildRect(dialog, kIdSeparator);
    for (int id : {kIdSeparator, kIdBarCurrent, kIdBarAll, kIdPicture}) {
        if (HWND child = GetDlgItem(dialog, id)) ShowWindow(child, SW_HIDE);
    }
}

// ---- Update ----------------------------------------------------------------------------

HICON LoadOwnedIcon(HINSTANCE module, int id) {
    if (module == nullptr) return nullptr;
    return static_cast<HICON>(LoadImageA(module, MAKEINTRESOURCEA(id), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
}

uintptr_t Create(const InstallerInfo* info) {
    g.hidden.store(true);
    g.justShown.store(false);
    if (g.dialog != nullptr) return reinterpret_cast<uintptr_t>(g.dialog);  // one window at a time
    g.installer = info != nullptr ? static_cast<HWND>(info->installerWindow) : nullptr;
    g.icons[0] = LoadOwnedIcon(info != nullptr ? static_cast<HINSTANCE>(info->module) : nullptr, kIconInstaller);
    for (int id = kIconFirst; id <= kIconLast; ++id) g.icons[1 + id - kIconFirst] = LoadOwnedIcon(g_module, id);
    bool owned = info != nullptr && (info->flags & 1) != 0;
    HWND dialog = CreateDialogParamA(g_module, MAKEINTRESOURCEA(owned ? kDialogOwned : kDialogPlain),
                                     owned ? g.installer : nullptr, ProgressDlg, 0);
    g.dialog = dialog;
    if (dialog == nullptr) return 0;
    // With dialog 1540 (no control 1007) the installer's picture has no
    // place: that window carries its own pictures.
    g.hasPicturePlace = GetDlgItem(dialog, kIdPicture) != nullptr;
    if (g.hasPicturePlace) {
        RECT r = ChildRect(dialog, kIdPicture);
        g.picturePlace = {r.left, r.top};
    }
    return reinterpret_cast<uintptr_t>(dialog);
}

void SetText(int id, const char* text) {
    if (text != nullptr) SetDlgItemTextA(g.dialog, id, text);
}

// The installer's window covers the screen (its client area is the screen's),
// so the point within its client area is taken as the screen position.
void Place() {
    RECT area = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (g.installer != nullptr && IsWindow(g.installer)) GetClientRect(g.installer, &area);
    RECT own;
    GetWindowRect(g.dialog, &own);
    PlacePoint at = PlaceProgressWindow(g.placeCode, area.right, area.bottom, own.right - own.left, own.bottom - own.top);
    SetWindowPos(g.dialog, nullptr, at.x, at.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOREDRAW);
}

std::string FitToStatus(const std::string& text) {
    HWND status = GetDlgItem(g.dialog, kIdStatus);
    if (status == nullptr) return text;
    RECT r;
    GetClientRect(status, &r);
    HDC dc = GetDC(status);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(status, WM_GETFONT, 0, 0)));
    auto measure = [dc](const std::string& part) {
        SIZE size = {0, 0};
        GetTextExtentPoint32A(dc, part.c_str(), static_cast<int>(part.size()), &size);
        return static_cast<int>(size.cx);
    };
    std::string fitted = FitStatusText(text, r.right, measure);
    SelectObject(dc, old);
    ReleaseDC(status, dc);
    return fitted;
}

uintptr_t UpdateWindowState(const InstallerInfo* info, uint32_t place, const char* text, uint32_t progress) {
    if (g.dialog == nullptr || info == nullptr) return 0;
    g.installer = static_cast<HWND>(info->installerWindow);
    const InstallerTexts* texts = info->texts;
    g.picture = info->picture;
    g.colour = info->colour;
    g.progress = progress > 1000 ? 1000 : progress;
    if (texts != nullptr) {
        if (!g.textsSet) {
            g.textsSet = true;
            char directory[MAX_PATH] = "";
            DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
            std::string path = (length > 0 && length < sizeof directory ? std::string(directory, length) : std::string()) +
                               "\\NativeDrivers\\HVLNK32.dll";
            SetDlgItemTextA(g.dialog, kIdHeading, VersionHeading(DriverVersionText(path.c_str())).c_str());
            SetText(kIdCancel, texts->cancel);
            SetText(kIdGroupCurrent, texts->current);
            SetText(kIdGroupAll, texts->all);
            SetText(kIdNext, texts->next);
            SetText(kIdBack, texts->back);
        }
        if (!g.captionSet) {
            std::string title = LookupInstallerVariable(*info, "APPTITLE");
            if (!title.empty()) {
                g.caption = title.substr(0, kCaptionLimit);
                SetWindowTextA(g.dialog, g.caption.c_str());
                g.captionSet = true;
            }
        }
    }
    char shown[kCaptionLimit + 1] = "";
    GetWindowTextA(g.dialog, shown, sizeof shown);
    if (IsIconic(g.dialog)) {
        SetWindowTextA(g.dialog, MinimisedCaption(progress, g.caption).c_str());
    } else if (g.caption != shown) {
        SetWindowTextA(g.dialog, g.caption.c_str());
    }
    if (g.commandReceived) {
        g.commandReceived = false;
        return reinterpret_cast<uintptr_t>(g.dialog);
    }
    if (text == nullptr && g.hidden.load()) return 0;
    if (!g.animationStarted) {
        g.animationStarted = true;
        g.thread = CreateThread(nullptr, 0, AnimationThread, nullptr, 0, nullptr);
    }
    g.paused.store(false);
    g.placeCode = place;
    if (!g.placed) {
        g.placed = true;
        Place();
    }
    if (g.hidden.load()) {
        if (g.installer != nullptr) EnableWindow(g.installer, FALSE);
        EnableWindow(g.dialog, TRUE);
        ShowWindow(g.dialog, SW_SHOW);
        g.hidden.store(false);
        g.justShown.store(true);
    }
    if (text != nullptr && text[0] != '\0') {
        std::string status = FitToStatus(text) + std::string(kStatusPadding, ' ');
        SetDlgItemTextA(g.dialog, kIdStatus, status.c_str());
    }
    // The "All" bar follows the progress.
    RECT bar = g.bars[1];
    InvalidateRect(g.dialog, &bar, FALSE);
    return 0;
}

uintptr_t Hide() {
    if (g.installer != nullptr) EnableWindow(g.installer, TRUE);
    if (g.dialog != nullptr) {
        EnableWindow(g.dialog, FALSE);
        ShowWindow(g.dialog, SW_HIDE);
    }
    g.hidden.store(true);
    return 0;
}

uintptr_t Destroy() {
    g.keepRunning.store(false);
    if (g.installer != nullptr) EnableWindow(g.installer, TRUE);
    JoinAnimationThread();
    if (g.lightFont != nullptr) DeleteObject(g.lightFont);
    if (g.boldFont != nullptr) DeleteObject(g.boldFont);
    if (g.palette != nullptr) DeleteObject(g.palette);
    g.lightFont = g.boldFont = nullptr;
    g.palette = nullptr;
    if (g.dialog != nullptr) DestroyWindow(g.dialog);
    g.dialog = nullptr;
    for (HICON& icon : g.icons) {
        if (icon != nullptr) DestroyIcon(icon);
        icon = nullptr;
    }
    return 0;
}

}  // namespace

extern "C" {

uintptr_t __stdcall Update(uint32_t type, uint32_t place, InstallerInfo* info, const char* text, uint32_t progress,
                           uint32_t) {
    switch (type) {
        case kUpdateCreate: return Create(info);
        case kUpdateUpdate: return UpdateWindowState(info, place, text, progress);
        case kUpdateHide: return Hide();
        case kUpdateDestroy: return Destroy();
        default: return 0;
    }
}

INT_PTR __stdcall ProgressDlg(HWND window, UINT message, WPARAM first, LPARAM second) {
    switch (message) {
        case WM_INITDIALOG: InitialiseDialog(window); return TRUE;
        case WM_PAINT: Paint(window); return TRUE;
        case WM_CTLCOLORSTATIC: {
            int id = GetDlgCtrlID(reinterpret_cast<HWND>(second));
            if (id != kIdHeading && id != kIdGroupCurrent && id != kIdStatus) return FALSE;
            SetBkMode(reinterpret_cast<HDC>(first), OPAQUE);
            return reinterpret_cast<INT_PTR>(GetStockObject(HOLLOW_BRUSH));
        }
        case WM_COMMAND:
            g.commandReceived = true;
            g.paused.store(true);
            return FALSE;
        default: return FALSE;
    }
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) g_module = module;
    return TRUE;
}

}  // extern "C"
