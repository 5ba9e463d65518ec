// The main window (dialog 102): the Vendor, Device and Protocol lists filled
// from the RP1210 catalogue, "Run Test", "Fix INI File, Make This Vendor
// First In List", "Quit", and the status and data windows whose colours
// follow the last run's outcome.
#pragma once

#include "tool/app/dialog.h"
#include "tool/config/catalogue.h"
#include "tool/adapter_test/adapter_test.h"

#include <memory>
#include <string>

class CQuorlinDlg : public Dialog {
public:
    CQuorlinDlg();
    ~CQuorlinDlg() override;
    INT_PTR DoModal();

protected:
    bool OnInitDialog() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR* result) override;

private:
    void FillList(int listId, const ChoiceList& entries);
    void FillVendorList();
    void FillDeviceList();
    void FillProtocolList();
    // The first word of a list's current item into `field`; no current item
    // leaves it as it was.
    void TakeListSelection(int listId, std::string* field);
    void VendorCascade();
    void DeviceCascade();
    void RunTest();
    void FixIni();
    void PaintMinimised();
    bool ColourControl(HDC dc, HWND control, INT_PTR* result);
    CheckerUi MakeUi();

    std::unique_ptr<RP1210Catalogue> catalogue_;
    AdapterTestState state_;  // vendorKey, deviceText, protocolString, api and the outcome
    HFONT font_ = nullptr;
    HBRUSH redBrush_ = nullptr;
    HBRUSH greenBrush_ = nullptr;
    HBRUSH whiteBrush_ = nullptr;
    HICON icon_ = nullptr;
};
