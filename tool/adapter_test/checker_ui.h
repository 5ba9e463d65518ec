// What the adapter test needs of the checker's windows: the status window
// (edit 1007) and the data window (edit 1008), and an owner for its message
// boxes. The main window supplies its edit controls; tests and the headless
// runner supply text buffers. Every line reaches a window through
// AppendWindowLine.
#pragma once

#include <string>
#include <vector>

enum CheckerControl : int {
    kVendorList = 1004,
    kDeviceList = 1005,
    kProtocolList = 1006,
    kStatusWindow = 1007,
    kDataWindow = 1008,
};

struct CheckerUi {
    void* context;
    std::string (*getText)(void* context, int control);
    void (*setText)(void* context, int control, const char* text);
    void (*scrollLines)(void* context, int control, int lines);  // scroll request, lines down
    // The text of a list's current item; false when it has none.
    bool (*currentItem)(void* context, int listControl, std::string* text);
    // The outcome fields changed: the windows' colours follow them when next painted.
    void (*statesChanged)(void* context);
    // The results discussion, shown modally; returns when the user closes it.
    void (*showResults)(void* context, const char* text);
    const void* owner;  // owner window of message boxes, or nullptr
};

// The only way the checker writes to its status and data windows: read the
// window's whole text, ask it to scroll 10 lines down, then set its text to
// the old text, the line and CR LF.
void AppendWindowLine(const CheckerUi& ui, const char* line, int control);

// Several lines at once: the window ends with exactly the text that
// appending them one by one would give, for one read, one scroll request
// and one set of the text (a window that lays out its whole text on every
// set keeps up with a busy bus this way).
void AppendWindowLines(const CheckerUi& ui, const std::vector<std::string>& lines, int control);
