// The "Setup Progress" plug-in ZMX5wizwin32a.DLL as the driver installer uses
// it, under Wine and Xvfb. Most tests play the installer in this program:
// each loads the library afresh, calls the exported Update and looks at the
// progress window as a user sees it on the screen. The last group runs
// installer-host.exe, a whole installer, as a separate program. Pictures go
// to installer-pictures beside this program.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "installer-plugin/installer_records.h"
#include "testkit/gui/gui_driver.h"
#include "testkit/installer_host/installer_player.h"

namespace {

using installer::Capture;
using installer::ProgramDir;
using installer::Pump;
using installer::ScreenRect;
using installer::Shot;

const char kHeading[] = "Installing ZMX III, ZMX 4, and ZMX 4 Plus Series Driver ";
const char kFirstText[] = "Copying file:\nC:\\Windows\\HVLNK32.DLL";
const COLORREF kBoxFront = RGB(200, 120, 30);  // icon 108 (setup_box.ico), left of its CD
const std::string kBlanks(86, ' ');

std::string PictureDir() { return ProgramDir() + "\\installer-pictures"; }

class ProgressPlugin : public ::testing::Test {
protected:
    void SetUp() override {
        ::CreateDirectoryA(PictureDir().c_str(), nullptr);
        ASSERT_TRUE(player_.Start(gui::WinePath(PLUGIN_DLL))) << PLUGIN_DLL;
        // A name differing in case first, then the title twice: the first exact one counts.
        player_.variables.Add("%SRCDIR%", "C:\\Setup");
        player_.variables.Add("%apptitle%", "Lower Case Title");
        player_.variables.Add("%APPTITLE%", "Driver Setup");
        player_.variables.Add("%APPTITLE%", "Second Title");
        player_.info.texts = texts_.record();
    }
    uintptr_t Call(uint32_t type, const char* text = nullptr, uint32_t progress = 0) {
        return player_.Call(type, text, progress);
    }
    HWND Show(int dialog = kDialogOwned, const char* text = kFirstText) { return progress_ = player_.Show(dialog, text); }
    std::string Text(int id) { return player_.Text(id); }
    std::string Caption() { return gui::Text(progress_); }
    void ShowAs(int command) {
        ::ShowWindow(progress_, command);
        Pump(100);
    }
    void Picture(HWND window, const std::string& name) {
        Pump(100);
        EXPECT_TRUE(gui::SaveWindowPicture(window, PictureDir() + "\\" + name + ".bmp")) << name;
    }
    void ExpectAt(POINT expected) {
        EXPECT_EQ(ScreenRect(progress_).left, expected.x);
        EXPECT_EQ(ScreenRect(progress_).top, expected.y);
    }

    installer::Texts texts_{"Abbrechen", "Aktuell", "Gesamt", "&Weiter >", "< &Zur\xFC" "ck"};
    std::vector<uint8_t> picture_;
    installer::Player player_;
    HWND progress_ = nullptr;
};

// ---- Creating, showing, hiding ----

TEST_F(ProgressPlugin, CreateGivesAHiddenDialog1540OwnedByTheInstallerWindow) {
    player_.info.flags = 1;
    progress_ = reinterpret_cast<HWND>(Call(kUpdateCreate));
    ASSERT_TRUE(::IsWindow(progress_));
    EXPECT_FALSE(::IsWindowVisible(progress_));
    EXPECT_EQ(::GetWindow(progress_, GW_OWNER), player_.installerWindow);
    EXPECT_EQ(Caption(), "Setup Progress");
    EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(progress_, kIdNext)));
    EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(progress_, kIdBack)));
    // Without a text nothing shows while the window is hidden.
    EXPECT_EQ(Call(kUpdateUpdate, nullptr, 100), 0u);
    Pump(200);
    EXPECT_FALSE(::IsWindowVisible(progress_));
    EXPECT_TRUE(::IsWindowEnabled(player_.installerWindow));
}

TEST_F(ProgressPlugin, FirstUpdateShowsTheWindowWithTheInstallersTextsAndTitleOnce) {
    ASSERT_NE(Show(), nullptr);
    EXPECT_TRUE(::IsWindowVisible(progress_));
    EXPECT_FALSE(::IsWindowEnabled(player_.installerWindow));
    EXPECT_EQ(Text(kIdCancel), "Abbrechen");
    EXPECT_EQ(Text(kIdGroupCurrent), "Aktuell");
    EXPECT_EQ(Text(kIdGroupAll), "Gesamt");
    EXPECT_EQ(Text(kIdNext), "&Weiter >");
    EXPECT_EQ(Text(kIdBack), "< &Zur\xFC" "ck");
    EXPECT_EQ(Caption(), "Driver Setup");
    EXPECT_EQ(Text(kIdStatus), kFirstText + kBlanks);
    Picture(progress_, "first-update-1540");
    installer::Texts other{"Stop", "Now", "Everything", "Go", "Return"};
    player_.info.texts = other.record();
    player_.variables.SetValue(2, "Changed Title");
    EXPECT_EQ(Call(kUpdateUpdate, "Next file", 500), 0u);
    EXPECT_EQ(Text(kIdCancel), "Abbrechen");
    EXPECT_EQ(Text(kIdGroupAll), "Gesamt");
    EXPECT_EQ(Caption(), "Driver Setup");
}

TEST_F(ProgressPlugin, WithoutATextsRecordTheDialogKeepsItsTextsAndLosesItsCaption) {
    player_.info.texts = nullptr;
    player_.info.flags = 1;
    progress_ = reinterpret_cast<HWND>(Call(kUpdateCreate));
    ASSERT_TRUE(::IsWindow(progress_));
    std::string heading = Text(kIdHeading), cancel = Text(kIdCancel);
    EXPECT_EQ(Call(kUpdateUpdate, kFirstText, 0), 0u);
    EXPECT_EQ(Text(kIdHeading), heading);
    EXPECT_EQ(Text(kIdCancel), cancel);
    EXPECT_EQ(Caption(), "");
}

TEST_F(ProgressPlugin, HideFreesTheInstallerWindowAndTheNextTextShowsTheWindowWhereItWas) {
    ASSERT_NE(Show(), nullptr);
    ::SetWindowPos(progress_, nullptr, 300, 200, 0, 0, SWP_NOSIZE | SWP_NOZORDER);  // moved by the user
    EXPECT_EQ(Call(kUpdateHide), 0u);
    EXPECT_FALSE(::IsWindowVisible(progress_));
    EXPECT_TRUE(::IsWindowEnabled(player_.installerWindow));
    EXPECT_EQ(Call(kUpdateUpdate, nullptr, 600), 0u);
    EXPECT_FALSE(::IsWindowVisible(progress_));
    player_.place = 0;
    EXPECT_EQ(Call(kUpdateUpdate, "Updating the system configuration", 700), 0u);
    EXPECT_TRUE(::IsWindowVisible(progress_));
    EXPECT_FALSE(::IsWindowEnabled(player_.installerWindow));
    ExpectAt(POINT{300, 200});
    EXPECT_EQ(Text(kIdStatus), "Updating the system configuration" + kBlanks);
    // An empty text keeps the one shown.
    EXPECT_EQ(Call(kUpdateUpdate, "", 800), 0u);
    EXPECT_EQ(Text(kIdStatus), "Updating the system configuration" + kBlanks);
}

TEST_F(ProgressPlugin, DestroyRightAfterCreateRemovesTheWindow) {
    player_.info.flags = 1;
    progress_ = reinterpret_cast<HWND>(Call(kUpdateCreate));
    ASSERT_TRUE(::IsWindow(progress_));
    EXPECT_EQ(Call(kUpdateDestroy), 0u);
    EXPECT_FALSE(::IsWindow(progress_));
}

// ---- The driver version in the heading ----

struct VersionCase {
    const char* name;
    const char* library;  // copied as NativeDrivers\HVLNK32.dll of the package; null: none
    const char* heading;
};
void PrintTo(const VersionCase& c, std::ostream* out) { *out << c.name; }
class HeadingVersion : public ProgressPlugin, public ::testing::WithParamInterface<VersionCase> {
protected:
    void SetUp() override {
        ProgressPlugin::SetUp();
        ::GetCurrentDirectoryA(MAX_PATH, directory_);
    }
    void TearDown() override { ::SetCurrentDirectoryA(directory_); }
    char directory_[MAX_PATH] = {};
};

TEST_P(HeadingVersion, NamesTheVersionOfTheLibraryAboutToBeInstalled) {
    const VersionCase& c = GetParam();
    std::string package = ProgramDir() + "\\installer-package-" + c.name;
    ::CreateDirectoryA(package.c_str(), nullptr);
    ::CreateDirectoryA((package + "\\NativeDrivers").c_str(), nullptr);
    std::string library = package + "\\NativeDrivers\\HVLNK32.dll";
    ::DeleteFileA(library.c_str());
    if (c.library != nullptr) {
        ASSERT_TRUE(::CopyFileA(gui::WinePath(c.library).c_str(), library.c_str(), FALSE)) << c.library;
    }
    ASSERT_TRUE(::SetCurrentDirectoryA(package.c_str()));
    ASSERT_NE(Show(), nullptr);
    EXPECT_EQ(Text(kIdHeading), std::string(kHeading) + c.heading + "\n");
    Picture(progress_, std::string("heading-") + c.name);
}
INSTANTIATE_TEST_SUITE_P(Libraries, HeadingVersion,
                         ::testing::Values(VersionCase{"hvlnk32", HVLNK32_DLL, "Version 5.47.0.0"},
                                           // German first in its translation list: its strings count.
                                           VersionCase{"first_translation", TVMULTI_DLL, "Version 3, 0, 0, 1"},
                                           VersionCase{"none", nullptr, "No Version Number Available"}),
                         [](const ::testing::TestParamInfo<VersionCase>& info) { return std::string(info.param.name); });

// ---- Placing the window on the installer window ----

// Quarter points of the installer window's client area (W x H) less half the
// window (w x h), kept inside the area, never negative, as screen coordinates.
POINT ExpectedPlace(int code, HWND installerWindow, HWND progress) {
    RECT client{}, window = ScreenRect(progress);
    ::GetClientRect(installerWindow, &client);
    int W = client.right, H = client.bottom, w = window.right - window.left, h = window.bottom - window.top;
    int x = (code % 3 + 1) * W / 4 - w / 2, y = (code / 3 + 1) * H / 4 - h / 2;
    if (x + w > W) x = W - w;
    if (y + h > H) y = H - h;
    return POINT{x < 0 ? 0 : x, y < 0 ? 0 : y};
}

class Placement : public ProgressPlugin, public ::testing::WithParamInterface<int> {};

TEST_P(Placement, FollowsThePlaceCodeOfTheFirstShowingUpdate) {
    player_.place = static_cast<uint32_t>(GetParam());
    ASSERT_NE(Show(), nullptr);
    ExpectAt(ExpectedPlace(GetParam(), player_.installerWindow, progress_));
    Picture(::GetDesktopWindow(), "place-" + std::to_string(GetParam()));
}
INSTANTIATE_TEST_SUITE_P(Codes, Placement, ::testing::Range(0, 9));

TEST_F(ProgressPlugin, PlaceCodeKeepsOnlyItsLowFourBits) {
    player_.place = 0x10 | 2;
    ASSERT_NE(Show(), nullptr);
    ExpectAt(ExpectedPlace(2, player_.installerWindow, progress_));
}

TEST_F(ProgressPlugin, OnAnInstallerWindowSmallerThanItselfTheWindowGoesToTheOrigin) {
    player_.SetInstallerClientSize(200, 150);
    player_.place = 8;
    ASSERT_NE(Show(), nullptr);
    ExpectAt(POINT{0, 0});
}

// ---- The caption while minimised ----

TEST_F(ProgressPlugin, MinimisedCaptionShowsThePercentageDoneUntilRestored) {
    ASSERT_NE(Show(), nullptr);
    ShowAs(SW_MINIMIZE);
    ASSERT_TRUE(::IsIconic(progress_));
    EXPECT_EQ(Call(kUpdateUpdate, "Copying", 455), 0u);
    EXPECT_EQ(Caption(), "45% Driver Setup");
    EXPECT_EQ(Call(kUpdateUpdate, "Copying", 999), 0u);
    EXPECT_EQ(Caption(), "99% Driver Setup");
    ShowAs(SW_RESTORE);
    EXPECT_EQ(Call(kUpdateUpdate, "Copying", 1000), 0u);
    EXPECT_EQ(Caption(), "Driver Setup");
}

TEST_F(ProgressPlugin, AnEmptyAppTitleLeavesThePercentageAloneUntilItIsGiven) {
    player_.variables = installer::Variables(24, 80);
    player_.variables.Add("%APPTITLE%", "");
    ASSERT_NE(Show(), nullptr);
    EXPECT_EQ(Caption(), "");
    ShowAs(SW_MINIMIZE);
    EXPECT_EQ(Call(kUpdateUpdate, "Copying", 455), 0u);
    EXPECT_EQ(Caption(), "45% ");
    player_.variables.SetValue(0, "Driver Setup");
    EXPECT_EQ(Call(kUpdateUpdate, "Copying", 460), 0u);
    EXPECT_EQ(Caption(), "46% Driver Setup");
}

// ---- The status text fitted to its line ----

struct FitCase {
    const char* name;
    const char* head;                     // first line and its line break, kept in front
    std::vector<std::string> shortenings;  // the path, then each shortening by folders in turn
};
void PrintTo(const FitCase& c, std::ostream* out) { *out << c.name; }
class StatusFitting : public ProgressPlugin, public ::testing::WithParamInterface<FitCase> {};

TEST_P(StatusFitting, TakesTheFirstShorteningNarrowerThanTheStatusLine) {
    const FitCase& c = GetParam();
    ASSERT_NE(Show(), nullptr);
    // The last shortening by folders then loses one character before its "..." at a time.
    std::vector<std::string> candidates = c.shortenings;
    std::string last = candidates.back();
    for (size_t keep = last.size() - 4; keep > 3; --keep) candidates.push_back(last.substr(0, keep) + "...");
    HWND status = ::GetDlgItem(progress_, kIdStatus);
    RECT line{};
    ::GetClientRect(status, &line);
    HDC dc = ::GetDC(status);
    HGDIOBJ previous = ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageA(status, WM_GETFONT, 0, 0)));
    std::vector<LONG> widths;
    for (const std::string& candidate : candidates) {
        SIZE size{};
        ::GetTextExtentPoint32A(dc, candidate.c_str(), static_cast<int>(candidate.size()), &size);
        widths.push_back(size.cx);
    }
    TEXTMETRICA metrics{};
    ::GetTextMetricsA(dc, &metrics);
    ::SelectObject(dc, previous);
    ::ReleaseDC(status, dc);
    ASSERT_GE(widths.front(), line.right) << "the whole path fits the status line";
    size_t fitted = 0;
    while (fitted + 1 < candidates.size() && widths[fitted] >= line.right) ++fitted;

    std::string text = c.head + c.shortenings.front();
    EXPECT_EQ(Call(kUpdateUpdate, text.c_str(), 300), 0u);
    EXPECT_EQ(Text(kIdStatus), c.head + candidates[fitted] + kBlanks);
    Picture(progress_, std::string("status-") + c.name);
    // On the screen the fitted path fills its own line up to its width.
    RECT screenLine = ScreenRect(status);
    Shot shot = Capture(screenLine);
    int top = screenLine.top + (*c.head ? metrics.tmHeight : 0), inkRight = -1;
    for (int y = top; y < top + metrics.tmHeight && y < screenLine.bottom; ++y) {
        for (int x = screenLine.left; x < screenLine.right; ++x) {
            COLORREF p = shot.At(x, y);
            if (GetRValue(p) + GetGValue(p) + GetBValue(p) < 500 && x - screenLine.left > inkRight) inkRight = x - screenLine.left;
        }
    }
    // The dots of a final "..." are faint: allow three characters.
    EXPECT_GE(inkRight, widths[fitted] - 3 * metrics.tmAveCharWidth) << "the line of the path ends early: it wrapped";
}
INSTANTIATE_TEST_SUITE_P(
    Paths, StatusFitting,
    ::testing::Values(
        FitCase{"folders",
                "Copying file:\n",
                {"C:\\Program Files\\Halvery Group\\ZMX III, ZMX 4, and ZMX 4 Plus Series Adapter Drivers\\Windows NT, "
                 "2000 and XP\\NativeDrivers\\HVLNK32.dll",
                 "C:\\...\\Halvery Group\\ZMX III, ZMX 4, and ZMX 4 Plus Series Adapter Drivers\\Windows NT, 2000 and "
                 "XP\\NativeDrivers\\HVLNK32.dll",
                 "C:\\...\\ZMX III, ZMX 4, and ZMX 4 Plus Series Adapter Drivers\\Windows NT, 2000 and "
                 "XP\\NativeDrivers\\HVLNK32.dll",
                 "C:\\...\\Windows NT, 2000 and XP\\NativeDrivers\\HVLNK32.dll", "C:\\...\\NativeDrivers\\HVLNK32.dll",
                 "C:\\...\\HVLNK32.dll"}},
        // One line; a first folder of three letters is too short to give way, so the end does.
        FitCase{"short_first_folder",
                "",
                {"C:\\WIN\\System32\\Drivers\\Halvery Group ZMX III, ZMX 4, and ZMX 4 Plus Series RP1210A Vehicle "
                 "Datalink Adapter Library HVLNK32.dll"}}),
    [](const ::testing::TestParamInfo<FitCase>& info) { return std::string(info.param.name); });

// ---- The animation ----

TEST_F(ProgressPlugin, AnimationMovesInItsAreaAndNowhereElse) {
    ASSERT_NE(Show(), nullptr);
    HWND animation = player_.AnimationWindow();
    ASSERT_NE(animation, nullptr);
    RECT area = player_.ControlRect(kIdAnimation), own = ScreenRect(animation);
    ::MapWindowPoints(nullptr, progress_, reinterpret_cast<POINT*>(&own), 2);
    EXPECT_EQ(own.left, area.left);
    EXPECT_EQ(own.top, area.top);
    EXPECT_EQ(own.right, area.right + 1);
    EXPECT_EQ(own.bottom, area.bottom + 1);

    // Icon 108 of the installer's module stands at the left, one vertical base unit down, on white.
    RECT units{0, 0, 4, 8};
    ::MapDialogRect(progress_, &units);
    RECT screenArea = ScreenRect(animation);
    Shot first = Capture(screenArea);
    EXPECT_EQ(gui::ColourName(first.At(screenArea.left + 4, screenArea.top + units.bottom + 16)),
              gui::ColourName(kBoxFront));
    EXPECT_EQ(gui::ColourName(first.At(screenArea.left + 4, screenArea.top + units.bottom / 2)), "white");

    std::vector<Shot> shots = player_.Shots(4, 300);
    EXPECT_GE(installer::ChangedIntervals(shots, screenArea), 2);
    EXPECT_EQ(installer::Differences(shots.front(), shots.back(), screenArea, false), 0);
    Picture(progress_, "animation");
}

TEST_F(ProgressPlugin, CancelPausesTheAnimationAndAnswersOnlyTheNextUpdate) {
    ASSERT_NE(Show(), nullptr);
    HWND animation = player_.AnimationWindow();
    ASSERT_NE(animation, nullptr);
    ::SendMessageA(::GetDlgItem(progress_, kIdCancel), BM_CLICK, 0, 0);
    Pump(200);
    EXPECT_TRUE(::IsWindowVisible(progress_));  // the window does not close itself
    RECT area = ScreenRect(animation);
    EXPECT_EQ(installer::ChangedIntervals(player_.Shots(3, 300), area), 0);
    Picture(progress_, "cancel-paused");

    EXPECT_EQ(Call(kUpdateUpdate, "Copying the second file", 500), reinterpret_cast<uintptr_t>(progress_));
    EXPECT_EQ(Text(kIdStatus), kFirstText + kBlanks);  // nothing else done
    EXPECT_EQ(Call(kUpdateUpdate, "Copying the third file", 600), 0u);
    EXPECT_EQ(Text(kIdStatus), "Copying the third file" + kBlanks);
    EXPECT_GE(installer::ChangedIntervals(player_.Shots(4, 300), area), 2);
}

TEST_F(ProgressPlugin, DestroyEndsTheAnimationThreadAndFreesTheInstallerWindow) {
    ASSERT_NE(Show(), nullptr);
    HWND animation = player_.AnimationWindow();
    ASSERT_NE(animation, nullptr);
    DWORD threadId = ::GetWindowThreadProcessId(animation, nullptr);
    EXPECT_NE(threadId, ::GetCurrentThreadId());
    HANDLE thread = ::OpenThread(SYNCHRONIZE, FALSE, threadId);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(Call(kUpdateDestroy), 0u);
    EXPECT_EQ(::WaitForSingleObject(thread, 0), WAIT_OBJECT_0);  // ended before Update returned
    ::CloseHandle(thread);
    EXPECT_FALSE(::IsWindow(progress_));
    EXPECT_FALSE(::IsWindow(animation));
    EXPECT_TRUE(::IsWindowEnabled(player_.installerWindow));
}

// ---- The picture ----

}  // namespace
namespace installer {
void PrintTo(PictureKind kind, std::ostream* out) { *out << (kind == PictureKind::kPalette8 ? "8-bit" : "24-bit"); }
}  // namespace installer
namespace {

class PictureShown : public ProgressPlugin, public ::testing::WithParamInterface<installer::PictureKind> {};

TEST_P(PictureShown, UnscaledAtThePicturePlaceWithinItsMargins) {
    const int w = 40, h = 40;
    picture_ = installer::MakePicture(GetParam(), w, h);
    player_.info.picture = picture_.data();
    ASSERT_NE(Show(kDialogPlain), nullptr);
    EXPECT_EQ(::GetWindow(progress_, GW_OWNER), nullptr);
    EXPECT_FALSE(::IsWindowVisible(::GetDlgItem(progress_, kIdPicture)));
    RECT place = player_.ControlRect(kIdPicture), hundred{0, 0, 100, 100};
    ::MapDialogRect(progress_, &hundred);
    int a = (h * hundred.bottom / 163 - h) / 2, b = (w * hundred.right / 150 - w) / 2;
    POINT origin{place.left + b, place.top + a};
    ::ClientToScreen(progress_, &origin);
    Shot shot = Capture(RECT{origin.x, origin.y, origin.x + w, origin.y + h});
    // Every pixel off the frame drawn around the area (w + 2b by h + 2a from the place).
    auto nearFrame = [](int p, int edge) { return p >= edge - 1 && p <= edge + 1; };
    std::string wrong;
    for (int y = 2; y < h - 2; y += 3) {
        for (int x = 2; x < w - 2; x += 3) {
            if (nearFrame(x, -b) || nearFrame(x, w + b - 1) || nearFrame(y, -a) || nearFrame(y, h + a - 1)) continue;
            COLORREF seen = shot.At(origin.x + x, origin.y + y), expected = installer::PictureColour(GetParam(), x, y);
            if (seen != expected && wrong.size() < 200) {
                wrong += " (" + std::to_string(x) + "," + std::to_string(y) + ") " + gui::ColourName(seen) + " for " +
                         gui::ColourName(expected);
            }
        }
    }
    EXPECT_EQ(wrong, "") << "margins " << b << " x " << a;
    Picture(progress_, GetParam() == installer::PictureKind::kPalette8 ? "picture-8bit" : "picture-24bit");
}
INSTANTIATE_TEST_SUITE_P(Kinds, PictureShown,
                         ::testing::Values(installer::PictureKind::kPalette8, installer::PictureKind::kRgb24),
                         [](const ::testing::TestParamInfo<installer::PictureKind>& info) {
                             return std::string(info.param == installer::PictureKind::kPalette8 ? "Bits8" : "Bits24");
                         });

// ---- The whole installer: installer-host.exe ----

std::string HostArguments(const std::string& package, const std::string& more) {
    return "--plugin \"" + gui::WinePath(PLUGIN_DLL) + "\" --package \"" + ProgramDir() + "\\" + package + "\" " + more;
}

TEST(InstallerHost, CopiesTheImageWhileTheProgressWindowNamesTheDriverVersion) {
    ::CreateDirectoryA(PictureDir().c_str(), nullptr);
    std::string image = gui::WinePath(IMAGE_DIR), target = ProgramDir() + "\\installer-target";
    std::vector<std::string> files = installer::FilesOf(image);
    ASSERT_FALSE(files.empty()) << image;
    for (const std::string& file : files) ::DeleteFileA((target + "\\" + file).c_str());

    installer::HostProcess host;
    ASSERT_TRUE(host.Start(gui::WinePath(INSTALLER_HOST),
                           HostArguments("installer-host-package",
                                         "--image \"" + image + "\" --target \"" + target + "\" --pace 200"),
                           false));
    HWND progress = gui::WaitForDialog(host.program, "Driver Setup", kIdStatus, 10000);
    ASSERT_NE(progress, nullptr);
    EXPECT_EQ(gui::ControlText(progress, kIdHeading), std::string(kHeading) + "Version 5.47.0.0\n");
    EXPECT_TRUE(gui::SaveWindowPicture(::GetDesktopWindow(), PictureDir() + "\\host-copying.bmp"));
    EXPECT_EQ(gui::WaitForExit(&host.program, 60000), 0);
    for (const std::string& file : files) EXPECT_EQ(installer::FileBytes(target + "\\" + file), installer::FileBytes(image + "\\" + file)) << file;
}

TEST(InstallerHost, HeldByCommandsItShowsAnswersACancelAndEndsCleanly) {
    ::CreateDirectoryA(PictureDir().c_str(), nullptr);
    installer::HostProcess host;
    ASSERT_TRUE(host.Start(gui::WinePath(INSTALLER_HOST),
                           HostArguments("installer-host-package-none",
                                         "--no-driver --hold --dialog 1541 --picture 24bit --window 60,40,1100,900"),
                           true));
    ASSERT_EQ(host.Command(""), "ready");
    std::string created = host.Command("create");
    ASSERT_EQ(created.compare(0, 7, "hwnd 0x"), 0) << created;
    HWND progress = reinterpret_cast<HWND>(static_cast<uintptr_t>(std::stoul(created.substr(5), nullptr, 16)));
    EXPECT_EQ(host.Command("update 455 Copying file:\\nC:\\\\Program Files\\\\Halvery Group\\\\Drivers\\\\NativeDrivers"
                           "\\\\HVLNK32.dll"),
              "result 0x00000000");
    EXPECT_EQ(host.Command("pump 300"), "ok");
    EXPECT_TRUE(::IsWindowVisible(progress));
    EXPECT_EQ(gui::ControlText(progress, kIdHeading), std::string(kHeading) + "No Version Number Available\n");
    EXPECT_TRUE(gui::SaveWindowPicture(::GetDesktopWindow(), PictureDir() + "\\host-held-1541-24bit.bmp"));

    // The user presses Cancel: the installer's next update hears of it, once.
    DWORD_PTR ignored;
    EXPECT_NE(::SendMessageTimeoutA(::GetDlgItem(progress, kIdCancel), BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 10000, &ignored),
              0);
    char handle[32];
    std::snprintf(handle, sizeof handle, "result 0x%08lX", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(progress)));
    EXPECT_EQ(host.Command("update 500 Copying the next file"), handle);
    EXPECT_EQ(host.Command("update 510 Copying the next file"), "result 0x00000000");

    EXPECT_EQ(installer::AnimateWindows(host.program.info.dwProcessId), 1);
    EXPECT_EQ(host.Command("destroy"), "result 0x00000000");
    EXPECT_FALSE(::IsWindow(progress));
    EXPECT_EQ(installer::AnimateWindows(host.program.info.dwProcessId), 0);
    EXPECT_EQ(host.Command("quit"), "bye");
    EXPECT_EQ(gui::WaitForExit(&host.program, 10000), 0);
}

}  // namespace
