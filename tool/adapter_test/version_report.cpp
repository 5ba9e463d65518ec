#include "tool/adapter_test/version_report.h"

#include "os/os.h"
#include "tool/config/text_helpers.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const kVersionKeys[] = {"CompanyName",      "FileDescription", "FileVersion",   "LegalCopyright",
                                    "OriginalFilename", "ProductName",     "ProductVersion"};

void Status(const CheckerUi& ui, const std::string& line) { AppendWindowLine(ui, line.c_str(), kStatusWindow); }

}  // namespace

void ReportDriverVersion(const CheckerUi& ui, const char* libraryFileName) {
    unsigned size = OsGetFileVersionInfoSize(libraryFileName);
    if (size == 0) {
        Status(ui, FormatText("Warning:  GetFileVersionInfoSize() failed on DLL [%s].\r\n->Cannot display DLL "
                              "version information.", libraryFileName));
        return;
    }
    void* block = std::calloc(static_cast<size_t>(size) + 100, 1);
    if (block == nullptr) {
        Status(ui, "Warning:  Call to malloc() failed.\r\n->Cannot display DLL version information.");
        return;
    }
    if (!OsGetFileVersionInfo(libraryFileName, size, block)) {
        Status(ui, FormatText("Warning:  GetFileVersionInfo() failed on DLL [%s].\r\n->Cannot display DLL version "
                              "information.", libraryFileName));
        std::free(block);
        return;
    }
    void* translation = nullptr;
    unsigned translationLength = 0;
    if (!OsVerQueryValue(block, "\\VarFileInfo\\Translation", &translation, &translationLength) ||
        translationLength < 4) {
        Status(ui, FormatText("Warning:  VerQueryValue(\"\\VarFileInfo\\Translation\") failed on [%s].\r\n->Cannot "
                              "display DLL version information.", libraryFileName));
        std::free(block);
        return;
    }
    // The first translation only: language id, then code page.
    const uint8_t* pair = static_cast<const uint8_t*>(translation);
    unsigned language = pair[0] | (pair[1] << 8);
    unsigned codePage = pair[2] | (pair[3] << 8);
    for (const char* key : kVersionKeys) {
        std::string path = FormatText("\\StringFileInfo\\%04x%04x\\%s", language, codePage, key);
        void* value = nullptr;
        unsigned valueLength = 0;
        if (OsVerQueryValue(block, path.c_str(), &value, &valueLength) && value != nullptr) {
            std::vector<char> text(static_cast<const char*>(value),
                                   static_cast<const char*>(value) + std::strlen(static_cast<const char*>(value)));
            text.push_back('\0');
            Status(ui, FormatText("%s: %-20.20s %-s", libraryFileName, key, TrimText(text.data())));
        } else {
            Status(ui, FormatText("Warning:  VerQueryValue() Parameter \"%s\" not found in DLL file information.",
                                  key));
        }
    }
    std::free(block);
}
