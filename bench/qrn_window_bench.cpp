// Where one iteration of the checker's five-second read loop spends its time
// under Wine: reading a message from HVLNK32 (the virtual adapter playing
// nothing: an empty poll), the 1 ms sleep, and appending data lines to an
// edit control like the checker's data window (read the text, scroll, put
// the added text in, bring the last line into view, repaint), one line at a
// time and in batches, as the window fills up to 3000 lines.
// Prints figures only. Win32 (PE32 under Wine, on a display: Xvfb).
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Microseconds(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

std::string Text(HWND window) {
    int length = GetWindowTextLengthA(window);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    GetWindowTextA(window, &text[0], length + 1);
    text.resize(static_cast<size_t>(length));
    return text;
}

struct Phases {
    double read = 0, scroll = 0, set = 0, repaint = 0;
};

// Appends `lines` the checker's way: one read of the whole text, a scroll
// request, the added text put in, the newest line brought into view, a repaint.
void Append(HWND edit, const std::vector<std::string>& lines, Phases& phases) {
    auto start = Clock::now();
    std::string text = Text(edit);
    std::string old = Text(edit);  // the window's set reads it again to find what was added
    phases.read += Microseconds(start);
    start = Clock::now();
    SendMessageA(edit, EM_LINESCROLL, 0, 10);
    phases.scroll += Microseconds(start);
    start = Clock::now();
    std::string added;
    for (const std::string& line : lines) added += line + "\r\n";
    SendMessageA(edit, EM_SETSEL, old.size(), old.size());
    SendMessageA(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(added.c_str()));
    LRESULT count = SendMessageA(edit, EM_GETLINECOUNT, 0, 0);
    SendMessageA(edit, EM_LINESCROLL, 0, count);
    phases.set += Microseconds(start);
    start = Clock::now();
    UpdateWindow(edit);
    MSG message;
    while (PeekMessageA(&message, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE)) DispatchMessageA(&message);
    phases.repaint += Microseconds(start);
}

HWND MakeEdit() {
    HWND edit = CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", "",
                                WS_OVERLAPPEDWINDOW | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE |
                                    ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL,
                                0, 0, 600, 120, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    SendMessageA(edit, EM_SETLIMITTEXT, 0, 0);
    return edit;
}

const char kLine[] = "TS[123456]:[CA][FE][00][06][00][00][11][22][33][44][55][66][77][88]";

}  // namespace

int main() {
    // The poll: RP1210_ReadMessage of HVLNK32 on an empty ring, and Sleep(1).
    const int kPolls = 2000;
    auto start = Clock::now();
    for (int i = 0; i < kPolls; ++i) Sleep(1);
    double sleep = Microseconds(start) / kPolls;
    std::printf("Sleep(1):                                  %8.0f us\n", sleep);

    std::printf("appending data lines to an edit control (us per line: read text, scroll, set, repaint)\n");
    for (int batch : {1, 10, 100}) {
        HWND edit = MakeEdit();
        Phases phases;
        int done = 0;
        std::printf("  batches of %3d:", batch);
        for (int checkpoint : {500, 1000, 2000, 3000}) {
            Phases segment;
            int first = done;
            while (done < checkpoint) {
                std::vector<std::string> lines(static_cast<size_t>(batch), kLine);
                Append(edit, lines, segment);
                done += batch;
            }
            int n = done - first;
            std::printf("  %4d lines: %6.0f %5.0f %6.0f %6.0f", checkpoint, segment.read / n, segment.scroll / n,
                        segment.set / n, segment.repaint / n);
        }
        std::printf("\n");
        DestroyWindow(edit);
    }
    std::printf("a bus of 600 messages/s leaves %0.0f us per message\n", 1e6 / 600);
    return 0;
}
