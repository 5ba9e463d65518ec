#include "tool/test/checker_ui.h"

void AppendWindowLine(const CheckerUi& ui, const char* line, int control) {
    std::string text = ui.getText(ui.context, control);
    ui.scrollLines(ui.context, control, 10);
    text += line ? line : "";
    text += "\r\n";
    ui.setText(ui.context, control, text.c_str());
}
