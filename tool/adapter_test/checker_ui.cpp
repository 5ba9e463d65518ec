#include "tool/adapter_test/checker_ui.h"

void AppendWindowLine(const CheckerUi& ui, const char* line, int control) {
    std::string text = ui.getText(ui.context, control);
    ui.scrollLines(ui.context, control, 10);
    text += line ? line : "";
    text += "\r\n";
    ui.setText(ui.context, control, text.c_str());
}

void AppendWindowLines(const CheckerUi& ui, const std::vector<std::string>& lines, int control) {
    if (lines.empty()) return;
    std::string text = ui.getText(ui.context, control);
    ui.scrollLines(ui.context, control, 10);
    for (const std::string& line : lines) {
        text += line;
        text += "\r\n";
    }
    ui.setText(ui.context, control, text.c_str());
}
