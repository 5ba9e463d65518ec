// Resource and control ids of the checker QRN.EXE, shared by its .rc file,
// its dialogs and the GUI driver that operates them.
#pragma once

// Dialogs
#define IDD_ABOUTBOX 100
#define IDD_QRN_DIALOG 102
#define IDD_RESULTS 132
#define IDD_INI_REPAIR 134

// Icon and bitmap
#define IDR_MAINFRAME 128
#define IDB_BANNER 130

// Main window (dialog 102)
#define IDC_VENDOR_LIST 1004
#define IDC_DEVICE_LIST 1005
#define IDC_PROTOCOL_LIST 1006
#define IDC_STATUS_WINDOW 1007
#define IDC_DATA_WINDOW 1008
#define IDC_RUN_TEST 1009
#define IDC_FIX_INI 1014

// Results discussion (dialog 132)
#define IDC_RESULTS_TEXT 1012

// INI repair (dialog 134)
#define IDC_CURRENT_INI 1008
#define IDC_PROPOSED_INI 1013

// System menu command of the About box (the platform keeps the low four bits)
#define IDM_ABOUTBOX 0x0010

// Static text of a message box
#define IDC_MESSAGE_BOX_TEXT 0xFFFF
