// The "Setup Progress" plug-in's rules that need no window: where the window
// goes, how the status text is fitted to its control, the installer's
// variables, the driver version heading, the minimised caption, the
// progress bars' geometry and the animation path. Built in both builds and
// tested natively.
#pragma once

#include "installer-plugin/installer_records.h"

#include <cstdint>
#include <functional>
#include <string>

constexpr size_t kCaptionLimit = 255;        // characters of the remembered caption
constexpr size_t kVersionLimit = 499;        // characters of the version text
constexpr size_t kVariableNameLimit = 31;    // characters of "%NAME%"
constexpr size_t kFitLimit = 255;            // characters of the part of the status text that is fitted
constexpr int kStatusPadding = 86;           // blanks after the status text

struct PlacePoint {
    int x;
    int y;
};

// The progress window's top-left corner inside the installer window's client
// area (W x H) for a window of w x h and a place code (low 4 bits): codes
// 0..8 are the quarter points of a three-by-three grid (4 centres it); the
// window is kept inside the area, and never left of or above it.
PlacePoint PlaceProgressWindow(uint32_t placeCode, int areaWidth, int areaHeight, int width, int height);

// Fits the status text to a control `width` pixels wide: the part after the
// first line break (else the whole text) loses path components for "..."
// after its first backslash, then characters at its end, until `measure`
// says it is narrower than the control. It stops at "..." when even that is
// too wide. The first line stays in front.
std::string FitStatusText(const std::string& text, int width, const std::function<int(const std::string&)>& measure);

// The value of installer variable `name` ("APPTITLE"): the first slot of the
// name table holding exactly "%NAME%" gives the value in the same slot of
// the value table; empty when none does or the tables are missing. Names and
// values are read only within their slots.
std::string LookupInstallerVariable(const InstallerInfo& info, const char* name);

// The FileVersion text of `fileName`'s version information in its first
// translation (at most 499 characters); empty when it has none.
std::string DriverVersionText(const char* fileName);

// The heading of control 1011 for a version text (empty: no version).
std::string VersionHeading(const std::string& version);

// The caption while minimised: "45% Driver Setup" for progress 455.
std::string MinimisedCaption(uint32_t progress, const std::string& caption);

// A progress bar painted in a placeholder of height x width pixels.
struct BarGeometry {
    int innerHeight;
    int segmentHeight;
    int segmentWidth;
    int segments;  // 0 when not even one fits
};
BarGeometry ComputeBarGeometry(int height, int width);
// Segments lit for a value of 0..1000.
int LitSegments(const BarGeometry& bar, int value);

// The moving icon's position (dialog units) at frame 0..20, and its icon id.
PlacePoint AnimationStep(int frame);
int MovingIconId(int frame);
