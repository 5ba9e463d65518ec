#include "tests/support/text_windows.h"

CheckerUi TextWindows::Ui() {
    CheckerUi ui;
    ui.context = this;
    ui.getText = [](void* context, int control) { return static_cast<TextWindows*>(context)->Text(control); };
    ui.setText = [](void* context, int control, const char* text) {
        static_cast<TextWindows*>(context)->Text(control) = text;
    };
    ui.scrollLines = [](void* context, int control, int lines) {
        if (lines == 10) static_cast<TextWindows*>(context)->scrolls.push_back(control);
    };
    ui.owner = nullptr;
    return ui;
}
