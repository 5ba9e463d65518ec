#include "tool/adapter_test/rp1210_binding.h"

#include "os/os.h"
#include "tool/config/ini_reader.h"
#include "tool/config/text_helpers.h"

namespace {

template <typename Fn, Fn Rp1210Api::*Field>
void Store(Rp1210Api* api, void* address) {
    api->*Field = reinterpret_cast<Fn>(address);
}
#define FIELD(name) &Store<decltype(Rp1210Api::name), &Rp1210Api::name>

struct EntryPoint {
    const char* plainName;
    const char* decoratedName;  // used exactly as written, not derived from the arguments
    bool required;
    void (*store)(Rp1210Api* api, void* address);
};

// In lookup order. Absent in RP1210A libraries: ReadDetailedVersion; RP1210B
// only: GetLastErrorMsg. Both may be missing.
const EntryPoint kEntryPoints[] = {
    {"RP1210_ClientConnect", "_RP1210_ClientConnect@24", true, FIELD(ClientConnect)},
    {"RP1210_ClientDisconnect", "_RP1210_ClientDisconnect@4", true, FIELD(ClientDisconnect)},
    {"RP1210_ReadMessage", "_RP1210_ReadMessage@16", true, FIELD(ReadMessage)},
    {"RP1210_SendMessage", "_RP1210_SendMessage@20", true, FIELD(SendMessage)},
    {"RP1210_SendCommand", "_RP1210_SendCommand@16", true, FIELD(SendCommand)},
    {"RP1210_ReadVersion", "_RP1210_ReadVersion@16", true, FIELD(ReadVersion)},
    {"RP1210_ReadDetailedVersion", "_RP1210_ReadDetailedVersion@16", false,
     FIELD(ReadDetailedVersion)},
    {"RP1210_GetHardwareStatus", "_RP1210_GetHardwareStatus@16", true, FIELD(GetHardwareStatus)},
    {"RP1210_GetErrorMsg", "_RP1210_GetErrorMsg@16", true, FIELD(GetErrorMsg)},
    {"RP1210_GetLastErrorMsg", "_RP1210_GetLastErrorMsg@20", false, FIELD(GetLastErrorMsg)},
};
#undef FIELD

}  // namespace

int BindRp1210Library(const char* libraryFileName, Rp1210Api* api, const void* owner) {
    api->library = OsLoadLibrary(libraryFileName);
    if (api->library == nullptr) return 0;
    for (const EntryPoint& entry : kEntryPoints) {
        void* address = OsGetProcAddress(api->library, entry.plainName);
        if (address == nullptr) address = OsGetProcAddress(api->library, entry.decoratedName);
        entry.store(api, address);
        if (address == nullptr && entry.required) {
            std::string text = FormatText("Error:  Could not find procedure \"%s\" in DLL!\n", entry.plainName);
            OsMessageBox(owner, text.c_str(), kQuorlinTitle, kOsMbOk);
            return 0;
        }
    }
    return 1;
}
