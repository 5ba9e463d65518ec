#include "tool/app/quorlin_dlg.h"

#include "tool/app/about_dlg.h"
#include "tool/app/ini_repair_dlg.h"
#include "tool/app/results_dlg.h"
#include "tool/config/ini_reader.h"
#include "tool/config/text_helpers.h"
#include "tool/resources/resource.h"

#include <cstring>
#include <vector>

namespace {

const COLORREF kRed = RGB(255, 0, 0);
const COLORREF kGreen = RGB(0, 255, 0);
const COLORREF kWhite = RGB(255, 255, 255);
const COLORREF kBlack = RGB(0, 0, 0);

// Repaints the window now and lets the rest of the dialog repaint, without
// taking any input: during the five-second read the user sees each line as
// it is written, and no button can act until the run is over (clicks wait in
// the queue as they would behind any busy window).
void RepaintNow(HWND control) {
    ::UpdateWindow(control);
    MSG message;
    while (::PeekMessageA(&message, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE)) ::DispatchMessageA(&message);
}

// The text of a list's current item; false when it has none.
bool CurrentItemText(HWND list, std::string* text) {
    LRESULT current = ::SendMessageA(list, CB_GETCURSEL, 0, 0);
    if (current == CB_ERR) return false;
    LRESULT length = ::SendMessageA(list, CB_GETLBTEXTLEN, static_cast<WPARAM>(current), 0);
    if (length == CB_ERR) return false;
    std::vector<char> item(static_cast<size_t>(length) + 1, '\0');
    ::SendMessageA(list, CB_GETLBTEXT, static_cast<WPARAM>(current), reinterpret_cast<LPARAM>(item.data()));
    *text = item.data();
    return true;
}

}  // namespace

CQuorlinDlg::CQuorlinDlg() : catalogue_(new RP1210Catalogue()) {}

CQuorlinDlg::~CQuorlinDlg() {
    if (font_) ::DeleteObject(font_);
    if (redBrush_) ::DeleteObject(redBrush_);
    if (greenBrush_) ::DeleteObject(greenBrush_);
    if (whiteBrush_) ::DeleteObject(whiteBrush_);
}

INT_PTR CQuorlinDlg::DoModal() { return RunModal(nullptr, IDD_QRN_DIALOG); }

bool CQuorlinDlg::OnInitDialog() {
    HMENU systemMenu = ::GetSystemMenu(hwnd_, FALSE);
    const char aboutItem[] = "&About Halvery Group RP1210 Quorlin (QRN)...";
    if (systemMenu != nullptr && aboutItem[0] != '\0') {
        ::AppendMenuA(systemMenu, MF_SEPARATOR, 0, nullptr);
        ::AppendMenuA(systemMenu, MF_STRING, IDM_ABOUTBOX, aboutItem);
    }
    icon_ = ::LoadIconA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME));
    ::SendMessageA(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    ::SendMessageA(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));

    ReleaseAllocations();
    *catalogue_ = RP1210Catalogue();
    state_ = AdapterTestState();  // clientId -1, testSeconds 5, messageCount 0, both states -1

    redBrush_ = ::CreateSolidBrush(kRed);
    greenBrush_ = ::CreateSolidBrush(kGreen);
    whiteBrush_ = ::CreateSolidBrush(kWhite);
    font_ = CreateCheckerFont();
    for (int id : {IDC_VENDOR_LIST, IDC_DEVICE_LIST, IDC_PROTOCOL_LIST, IDC_STATUS_WINDOW, IDC_DATA_WINDOW}) {
        ::SendMessageA(Item(id), WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
    }
    // No length limit on what the run appends to the two windows.
    ::SendMessageA(Item(IDC_STATUS_WINDOW), EM_SETLIMITTEXT, 0, 0);
    ::SendMessageA(Item(IDC_DATA_WINDOW), EM_SETLIMITTEXT, 0, 0);

    LoadCatalogue(catalogue_.get());
    FillVendorList();
    TakeListSelection(IDC_VENDOR_LIST, &state_.vendorKey);
    if (state_.vendorKey.empty()) return true;
    FillDeviceList();
    TakeListSelection(IDC_DEVICE_LIST, &state_.deviceText);
    if (state_.deviceText.empty()) return true;
    FillProtocolList();
    TakeListSelection(IDC_PROTOCOL_LIST, &state_.protocolString);
    return true;
}

void CQuorlinDlg::FillList(int listId, const ChoiceList& entries) {
    HWND list = Item(listId);
    ::SendMessageA(list, CB_RESETCONTENT, 0, 0);
    for (const std::string& entry : entries.items) {
        ::SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
    }
    if (!entries.items.empty()) ::SendMessageA(list, CB_SETCURSEL, 0, 0);  // the first of the (sorted) list
}

void CQuorlinDlg::FillVendorList() {
    ChoiceList entries;
    ::FillVendorList(*catalogue_, entries);
    FillList(IDC_VENDOR_LIST, entries);
}

void CQuorlinDlg::FillDeviceList() {
    ChoiceList entries;
    ::FillDeviceList(*catalogue_, state_.vendorKey.c_str(), entries);
    FillList(IDC_DEVICE_LIST, entries);
}

void CQuorlinDlg::FillProtocolList() {
    ChoiceList entries;
    ::FillProtocolList(*catalogue_, state_.vendorKey.c_str(), state_.deviceText.c_str(), entries);
    FillList(IDC_PROTOCOL_LIST, entries);
}

void CQuorlinDlg::TakeListSelection(int listId, std::string* field) {
    std::string text;
    if (!CurrentItemText(Item(listId), &text)) return;
    *field = FirstWord(&text[0]);
}

void CQuorlinDlg::VendorCascade() {
    ::SendMessageA(Item(IDC_DEVICE_LIST), CB_RESETCONTENT, 0, 0);
    ::SendMessageA(Item(IDC_PROTOCOL_LIST), CB_RESETCONTENT, 0, 0);
    TakeListSelection(IDC_VENDOR_LIST, &state_.vendorKey);
    if (state_.vendorKey.empty()) return;
    FillDeviceList();
    TakeListSelection(IDC_DEVICE_LIST, &state_.deviceText);
    FillProtocolList();
    TakeListSelection(IDC_PROTOCOL_LIST, &state_.protocolString);
}

void CQuorlinDlg::DeviceCascade() {
    TakeListSelection(IDC_DEVICE_LIST, &state_.deviceText);
    FillProtocolList();
    TakeListSelection(IDC_PROTOCOL_LIST, &state_.protocolString);
}

CheckerUi CQuorlinDlg::MakeUi() {
    CheckerUi ui{};
    ui.context = this;
    ui.getText = [](void* context, int control) {
        return WindowText(static_cast<CQuorlinDlg*>(context)->Item(control));
    };
    ui.setText = [](void* context, int control, const char* text) {
        HWND window = static_cast<CQuorlinDlg*>(context)->Item(control);
        // Setting the whole text makes the edit lay out every line again, so
        // a run's cost would grow with the square of its lines (on Wine, a
        // few lines a second after the first hundred). When the new text is
        // the old one with lines added, only the added part is put in; the
        // window ends with the same text either way.
        std::string old = WindowText(window);
        size_t length = std::strlen(text);
        if (!old.empty() && length >= old.size() && old.compare(0, old.size(), text, old.size()) == 0) {
            ::SendMessageA(window, EM_SETSEL, old.size(), old.size());
            ::SendMessageA(window, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text + old.size()));
        } else {
            ::SetWindowTextA(window, text);
        }
        // Replacing the text scrolls the window back to its top; bring the
        // newest line into view again.
        LRESULT lines = ::SendMessageA(window, EM_GETLINECOUNT, 0, 0);
        ::SendMessageA(window, EM_LINESCROLL, 0, lines);
        RepaintNow(window);
    };
    ui.scrollLines = [](void* context, int control, int lines) {
        ::SendMessageA(static_cast<CQuorlinDlg*>(context)->Item(control), EM_LINESCROLL, 0, lines);
    };
    ui.currentItem = [](void* context, int listControl, std::string* text) {
        return CurrentItemText(static_cast<CQuorlinDlg*>(context)->Item(listControl), text);
    };
    ui.statesChanged = [](void* context) {
        CQuorlinDlg* self = static_cast<CQuorlinDlg*>(context);
        for (int id : {IDC_STATUS_WINDOW, IDC_DATA_WINDOW}) {
            ::InvalidateRect(self->Item(id), nullptr, TRUE);
            RepaintNow(self->Item(id));
        }
    };
    ui.showResults = [](void* context, const char* text) {
        CResultsDlg results(text);
        results.DoModal(static_cast<CQuorlinDlg*>(context)->hwnd_);
    };
    ui.owner = hwnd_;
    return ui;
}

void CQuorlinDlg::RunTest() {
    ::SetCursor(::LoadCursorA(nullptr, MAKEINTRESOURCEA(32514)));  // IDC_WAIT
    RunAdapterTest(state_, MakeUi());
    ::SetCursor(::LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)));  // IDC_ARROW
}

void CQuorlinDlg::FixIni() {
    // The dialog works on a copy of the catalogue; the lists are not refilled
    // afterwards, whatever it wrote.
    std::unique_ptr<RP1210Catalogue> copy(new RP1210Catalogue(*catalogue_));
    std::string chosenKey;
    TakeListSelection(IDC_VENDOR_LIST, &chosenKey);
    CIniRepairDlg repair(*copy, chosenKey);
    repair.DoModal(hwnd_);
}

void CQuorlinDlg::PaintMinimised() {
    PAINTSTRUCT paint;
    HDC dc = ::BeginPaint(hwnd_, &paint);
    ::SendMessageA(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    int iconWidth = ::GetSystemMetrics(SM_CXICON);
    int iconHeight = ::GetSystemMetrics(SM_CYICON);
    RECT client;
    ::GetClientRect(hwnd_, &client);
    int x = (client.right - client.left - iconWidth + 1) / 2;
    int y = (client.bottom - client.top - iconHeight + 1) / 2;
    ::DrawIcon(dc, x, y, icon_);
    ::EndPaint(hwnd_, &paint);
}

bool CQuorlinDlg::ColourControl(HDC dc, HWND control, INT_PTR* result) {
    int outcome;
    if (control == Item(IDC_DATA_WINDOW)) {
        outcome = state_.dataState;
    } else if (control == Item(IDC_STATUS_WINDOW)) {
        outcome = state_.connectState;
    } else {
        return false;  // the default colours
    }
    COLORREF background = outcome == 0 ? kGreen : outcome == -1 ? kWhite : kRed;
    HBRUSH brush = outcome == 0 ? greenBrush_ : outcome == -1 ? whiteBrush_ : redBrush_;
    ::SetBkColor(dc, background);
    ::SetTextColor(dc, kBlack);
    *result = reinterpret_cast<INT_PTR>(brush);
    return true;
}

bool CQuorlinDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR* result) {
    switch (message) {
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
            CAboutDlg about;
            about.DoModal(hwnd_);
            *result = TRUE;
            return true;
        }
        return false;
    case WM_PAINT:
        if (::IsIconic(hwnd_)) {
            PaintMinimised();
            *result = TRUE;
            return true;
        }
        return false;
    case WM_QUERYDRAGICON:
        *result = reinterpret_cast<INT_PTR>(icon_);
        return true;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
        return ColourControl(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam), result);
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_RUN_TEST:
            if (HIWORD(wParam) != BN_CLICKED) return false;
            RunTest();
            break;
        case IDC_FIX_INI:
            if (HIWORD(wParam) != BN_CLICKED) return false;
            FixIni();
            break;
        case IDC_VENDOR_LIST:
            if (HIWORD(wParam) != CBN_SELCHANGE) return false;
            VendorCascade();
            break;
        case IDC_DEVICE_LIST:
            if (HIWORD(wParam) != CBN_SELCHANGE) return false;
            DeviceCascade();
            break;
        case IDCANCEL:  // Quit, Escape and the close box
            ReleaseCatalogue(catalogue_.get());
            End(IDCANCEL);
            break;
        default:
            return false;
        }
        *result = TRUE;
        return true;
    default:
        return false;
    }
}
