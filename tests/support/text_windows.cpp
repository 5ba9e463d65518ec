#include "tests/support/text_windows.h"

namespace {
TextWindows& Self(void* context) { return *static_cast<TextWindows*>(context); }
}  // namespace

CheckerUi TextWindows::Ui() {
    CheckerUi ui;
    ui.context = this;
    ui.getText = [](void* context, int control) { return Self(context).Text(control); };
    ui.setText = [](void* context, int control, const char* text) { Self(context).Text(control) = text; };
    ui.scrollLines = [](void* context, int control, int lines) {
        if (lines == 10) Self(context).scrolls.push_back(control);
    };
    ui.currentItem = [](void* context, int list, std::string* text) {
        auto found = Self(context).lists.find(list);
        if (found == Self(context).lists.end()) return false;
        *text = found->second;
        return true;
    };
    ui.statesChanged = [](void* context) { ++Self(context).stateChanges; };
    ui.showResults = [](void* context, const char* text) { Self(context).results.push_back(text); };
    ui.owner = nullptr;
    return ui;
}
