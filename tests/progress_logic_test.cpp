// The "Setup Progress" plug-in's rules without windows: placing, fitting the
// status text, installer variables, the version heading and caption, the bar
// geometry.
#include "installer-plugin/progress_logic.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(ProgressPlacing, GridPointsAreKeptInsideTheInstallerWindow) {
    const struct {
        uint32_t code;
        int areaWidth, areaHeight, width, height;
        PlacePoint expected;
    } cases[] = {
        {4, 800, 600, 400, 300, {200, 150}},   // centred
        {0, 800, 600, 400, 300, {0, 0}},       // 200 - 200, 150 - 150
        {2, 800, 600, 200, 100, {500, 100}},   // 600 - 100, 150 - 50
        {8, 800, 600, 400, 300, {400, 300}},   // 600 - 200 > 400: kept inside
        {8, 300, 200, 400, 300, {0, 0}},       // smaller than the window: 0, 0
        {0x14, 800, 600, 400, 300, {200, 150}},  // low 4 bits: code 4
        {15, 800, 600, 200, 100, {100, 500}},  // row 5 kept inside at the bottom
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        PlacePoint at = PlaceProgressWindow(c.code, c.areaWidth, c.areaHeight, c.width, c.height);
        EXPECT_EQ(at.x, c.expected.x);
        EXPECT_EQ(at.y, c.expected.y);
    }
}

// Every character 7 pixels wide.
int Measure(const std::string& text) { return static_cast<int>(text.size()) * 7; }

TEST(ProgressStatusText, PathsLoseFoldersThenCharacters) {
    const std::string path = "C:\\Program Files\\Vendor\\Dir\\file.dll";  // 36 characters
    const struct {
        int characters;  // the control's width in characters
        const char* expected;
    } cases[] = {
        {37, "C:\\Program Files\\Vendor\\Dir\\file.dll"},
        {36, "C:\\...\\Vendor\\Dir\\file.dll"},
        {26, "C:\\...\\Dir\\file.dll"},
        {19, "C:\\...\\file.dll"},
        {15, "C:\\...\\file..."},
        {14, "C:\\...\\fil..."},
        {3, "..."},  // nothing narrower exists: the shortest form, and the loop ends
        {1, "..."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.characters);
        EXPECT_EQ(FitStatusText(path, c.characters * 7, Measure), c.expected);
    }
}

TEST(ProgressStatusText, TheFirstLineStaysAndOnlyTheRestIsFitted) {
    EXPECT_EQ(FitStatusText("Copying file:\r\nC:\\Program Files\\Vendor\\Dir\\file.dll", 30 * 7, Measure),
              "Copying file:\r\nC:\\...\\Vendor\\Dir\\file.dll");
    // The first line may be wider than the control: it is not touched.
    EXPECT_EQ(FitStatusText("A first line much wider than the control\nshort", 20 * 7, Measure),
              "A first line much wider than the control\nshort");
    // A line break with nothing after it: the whole text is the part.
    EXPECT_EQ(FitStatusText("abcdefghijkl\n", 10 * 7, Measure), "abcdef...");
    // A text without backslash loses characters at its end only.
    EXPECT_EQ(FitStatusText("Registering the drivers", 20 * 7, Measure), "Registering the ...");
}

TEST(ProgressStatusText, OnlyTheFirst255CharactersOfTheFittedPartAreKept) {
    std::string text = "Copying:\n" + std::string(300, 'x');
    EXPECT_EQ(FitStatusText(text, 400 * 7, Measure), text);  // narrower than the control: as it is
    // 200 wide: the first 255 characters are fitted, one lost at a time.
    EXPECT_EQ(FitStatusText(text, 200 * 7, Measure), "Copying:\n" + std::string(196, 'x') + "...");
}

// An installer record with a variable table of `slot`-byte slots.
struct Variables {
    std::vector<char> names, values;
    InstallerInfo info{};
    Variables(const std::vector<std::pair<std::string, std::string>>& entries, uint16_t slot) {
        names.assign(entries.size() * slot, '\0');
        values.assign(entries.size() * slot, '\0');
        for (size_t i = 0; i < entries.size(); ++i) {
            std::memcpy(&names[i * slot], entries[i].first.data(), std::min<size_t>(slot, entries[i].first.size()));
            std::memcpy(&values[i * slot], entries[i].second.data(), std::min<size_t>(slot, entries[i].second.size()));
        }
        info.nameSlotSize = info.valueSlotSize = slot;
        info.variableCount = static_cast<uint16_t>(entries.size());
        info.names = names.data();
        info.values = values.data();
    }
};

TEST(ProgressVariables, TheFirstExactNameGivesItsValue) {
    Variables v({{"%MAINDIR%", "C:\\Halvery"}, {"%apptitle%", "lower"}, {"%APPTITLE%", "Driver Setup"},
                 {"%APPTITLE%", "second"}},
                32);
    EXPECT_EQ(LookupInstallerVariable(v.info, "APPTITLE"), "Driver Setup");
    EXPECT_EQ(LookupInstallerVariable(v.info, "MAINDIR"), "C:\\Halvery");
    EXPECT_EQ(LookupInstallerVariable(v.info, "NONE"), "");
    // Values that fill their slot without a terminator end at the slot.
    Variables full({{"%APPTITLE%", std::string(16, 'T')}, {"%NEXT%", "n"}}, 16);
    EXPECT_EQ(LookupInstallerVariable(full.info, "APPTITLE"), std::string(16, 'T'));
    // No slots, no count or no tables: nothing, and nothing read.
    Variables empty({}, 0);
    EXPECT_EQ(LookupInstallerVariable(empty.info, "APPTITLE"), "");
    InstallerInfo none{};
    none.variableCount = 5;
    none.nameSlotSize = none.valueSlotSize = 32;
    EXPECT_EQ(LookupInstallerVariable(none, "APPTITLE"), "");
}

TEST(ProgressHeading, VersionOfTheDriverFileOrNone) {
    EXPECT_EQ(DriverVersionText(FIXTURE_DIR "/TVFULL.DLL"), "2, 0, 1, 0");
    EXPECT_EQ(DriverVersionText(FIXTURE_DIR "/TVNOTRAN.DLL"), "");  // no translation
    EXPECT_EQ(DriverVersionText(FIXTURE_DIR "/no-such.dll"), "");
    EXPECT_EQ(VersionHeading("5.47.0.0"), "Installing ZMX III, ZMX 4, and ZMX 4 Plus Series Driver Version 5.47.0.0\n");
    EXPECT_EQ(VersionHeading(""),
              "Installing ZMX III, ZMX 4, and ZMX 4 Plus Series Driver No Version Number Available\n");
    EXPECT_EQ(MinimisedCaption(455, "Driver Setup"), "45% Driver Setup");
    EXPECT_EQ(MinimisedCaption(1000, ""), "100% ");
}

TEST(ProgressBars, SegmentsFromThePlaceholderSize) {
    BarGeometry small = ComputeBarGeometry(10, 100);  // inner 8: segments 6 high, 4 wide
    EXPECT_EQ(small.innerHeight, 8);
    EXPECT_EQ(small.segmentHeight, 6);
    EXPECT_EQ(small.segmentWidth, 4);
    EXPECT_EQ(small.segments, 16);
    BarGeometry tall = ComputeBarGeometry(25, 200);  // inner 23 > 20: segments 20 high
    EXPECT_EQ(tall.segmentHeight, 20);
    EXPECT_EQ(tall.segmentWidth, 13);
    EXPECT_EQ(tall.segments, 13);
    EXPECT_EQ(LitSegments(small, 0), 0);
    EXPECT_EQ(LitSegments(small, 500), 9);   // segments 0..8: 62 x 8 = 496 < 500
    EXPECT_EQ(LitSegments(small, 1000), 16);
    EXPECT_EQ(ComputeBarGeometry(3, 100).segments, 0);  // no room: nothing, no division by zero
    EXPECT_EQ(LitSegments(ComputeBarGeometry(3, 100), 1000), 0);
}

TEST(ProgressAnimation, PathAndIcons) {
    EXPECT_EQ(AnimationStep(1).x, 14);
    EXPECT_EQ(AnimationStep(4).y, 1);
    EXPECT_EQ(AnimationStep(20).x, 113);
    EXPECT_EQ(AnimationStep(0).x, 113);
    EXPECT_EQ(MovingIconId(1), 112);
    EXPECT_EQ(MovingIconId(20), 131);
    EXPECT_EQ(MovingIconId(0), 131);
}

}  // namespace
