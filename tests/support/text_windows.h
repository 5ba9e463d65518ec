// The checker's windows as plain texts, for tests: a CheckerUi whose status
// and data windows remember their text, whose lists answer with set texts,
// and which keeps every results discussion shown.
#pragma once

#include "tool/adapter_test/checker_ui.h"

#include <map>
#include <string>
#include <vector>

struct TextWindows {
    std::string status;
    std::string data;
    std::vector<int> scrolls;               // control id of each 10-line scroll request
    std::map<int, std::string> lists;       // current item of each list; absent: none
    std::vector<std::string> results;       // each results discussion shown
    int stateChanges = 0;

    CheckerUi Ui();
    std::string& Text(int control) { return control == kDataWindow ? data : status; }
};
