// The checker's status and data windows as plain texts, for tests: a
// CheckerUi whose windows remember their text and the scroll requests.
#pragma once

#include "tool/test/checker_ui.h"

#include <string>
#include <vector>

struct TextWindows {
    std::string status;
    std::string data;
    std::vector<int> scrolls;  // control id of each scroll request, in order

    CheckerUi Ui();
    std::string& Text(int control) { return control == kDataWindow ? data : status; }
};
