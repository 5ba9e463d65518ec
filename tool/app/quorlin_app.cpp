// QRN.EXE: the application object opens the main window modally and ends the
// program when it closes; it has no message loop of its own.
#include "tool/app/quorlin_dlg.h"

#include <windows.h>
#include <commctrl.h>

namespace {

struct CQuorlinApp {
    int Run() {
        // The platform's three-dimensional control style.
        INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES};
        ::InitCommonControlsEx(&controls);
        CQuorlinDlg mainWindow;
        mainWindow.DoModal();
        return 0;
    }
};

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    CQuorlinApp app;
    return app.Run();
}
