// The INI repair dialog: the current RP121032.INI and the proposed one, side
// by side; "Make Changes" backs the file up and writes the proposal, "Cancel"
// ends the dialog. The current file's edit turns yellow when the proposal
// found problems.
#pragma once

#include "tool/app/dialog.h"
#include "tool/config/catalogue.h"
#include "tool/config/ini_repair.h"

#include <string>

class CIniRepairDlg : public Dialog {
public:
    // `catalogue` is the main window's, read only; `chosenKey` the first word
    // of its Vendor selection.
    CIniRepairDlg(const RP1210Catalogue& catalogue, std::string chosenKey)
        : catalogue_(catalogue), chosenKey_(std::move(chosenKey)) {}
    ~CIniRepairDlg() override;
    INT_PTR DoModal(HWND owner);

protected:
    bool OnInitDialog() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR* result) override;

private:
    const RP1210Catalogue& catalogue_;
    std::string chosenKey_;
    IniRepairProposal proposal_;
    HBRUSH whiteBrush_ = nullptr;
    HBRUSH yellowBrush_ = nullptr;
};
