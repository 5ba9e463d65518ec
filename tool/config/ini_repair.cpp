#include "tool/config/ini_repair.h"

#include "os/os.h"
#include "tool/config/ini_reader.h"
#include "tool/config/text_helpers.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// One read of the current file takes at most 499 characters.
constexpr int kCurrentLineBuffer = 500;

constexpr char kNewLine1[] = "[RP1210Support]\n";

void Show(const void* owner, const std::string& text) {
    OsMessageBox(owner, text.c_str(), kQuorlinTitle, kOsMbOk);
}

// One line of the current file without its line feed; empty at end of file.
std::string ReadCurrentLine(std::FILE* file) {
    char line[kCurrentLineBuffer];
    if (OsReadTextLine(line, sizeof line, file) == nullptr) return std::string();
    size_t length = std::strlen(line);
    if (length > 0 && line[length - 1] == '\n') line[length - 1] = '\0';
    return line;
}

// The file name of a vendor INI path up to its first '.', in upper case: the
// name RP121032.INI lists the vendor under.
std::string ListedName(const char* vendorIniPath) {
    const char* slash = std::strrchr(vendorIniPath, '\\');
    std::string name(slash ? slash + 1 : vendorIniPath);
    size_t dot = name.find('.');
    if (dot != std::string::npos) name.resize(dot);
    for (char& c : name) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return name;
}

// The listed name the chosen key stands for, or "" when it names no vendor
// that loaded. The Vendor list shows at most 8 characters of a key, so a key
// of exactly 8 that matches no name whole stands for the one longer name that
// begins with it; writing the cut key would name a vendor that does not exist.
std::string ListedNameOfChosenKey(const std::vector<std::string>& names, const std::string& chosenKey) {
    if (chosenKey.empty()) return std::string();
    for (const std::string& name : names) {
        if (name == chosenKey) return name;
    }
    if (chosenKey.size() != 8) return std::string();
    std::string longer;
    for (const std::string& name : names) {
        if (name.compare(0, chosenKey.size(), chosenKey) != 0 || name == longer) continue;
        if (!longer.empty()) return std::string();  // two candidates: neither is certain
        longer = name;
    }
    return longer;
}

// The leading decimal digits of `text` as a number (0 without digits), held
// at the 32-bit limit.
long long LeadingDigits(const char* text) {
    if (*text < '0' || *text > '9') return 0;
    return ParseDecimal(text);
}

}  // namespace

void BuildIniRepairProposal(const RP1210Catalogue& catalogue, const std::string& chosenKey, const void* owner,
                            IniRepairProposal* proposal) {
    *proposal = IniRepairProposal();

    const char* path = MainIniPath(catalogue);
    std::FILE* file = path ? OsOpenFile(path, "r") : nullptr;
    if (file == nullptr) {
        Show(owner, FormatText("Unable to open INI file [%s] for reading.", path ? path : ""));
        return;
    }
    proposal->currentLine1 = ReadCurrentLine(file);
    proposal->currentLine2 = ReadCurrentLine(file);
    std::fclose(file);
    proposal->currentText = proposal->currentLine1 + "\r\n" + proposal->currentLine2;

    int vendorCount = VendorCount(catalogue);
    std::vector<std::string> names;
    for (int i = 0; i < vendorCount; ++i) {
        const char* vendorPath = VendorIniPath(catalogue, i);
        if (vendorPath != nullptr) names.push_back(ListedName(vendorPath));
    }
    // No vendor, or a key that names none of them: nothing sensible to write.
    std::string first = ListedNameOfChosenKey(names, chosenKey);
    if (first.empty()) return;

    std::string line2 = "APIImplementations=" + first;
    if (vendorCount != 1) {
        for (const std::string& name : names) {
            // Empty names and every copy of the chosen one are left out, so
            // no comma ever stands alone or at the end.
            if (name.empty() || name == first) continue;
            line2 += ',';
            line2 += name;
        }
    }
    proposal->newLine1 = kNewLine1;
    proposal->newLine2 = line2;
    proposal->proposedText = "[RP1210Support]\r\n" + line2;
    proposal->built = true;

    // Only a change of length is reported: a change of order alone is not.
    if (proposal->newLine2.size() != proposal->currentLine2.size()) {
        proposal->problems = true;
        Show(owner, "Problems found in the RP1210 INI file.\nIt is suggested that you click \"Make Changes\" to fix "
                    "these problems.");
    }
}

std::string ChooseIniBackupName(const char* windowsDirectory) {
    const char* dir = windowsDirectory ? windowsDirectory : "";
    std::vector<OsFoundFile> found = OsFindFiles(FormatText("%s\\RP121032.INI.bak-*", dir).c_str());
    if (found.empty()) return FormatText("%s\\RP121032.INI.bak-1", dir);

    // Wider than the names' numbers: a name at the 32-bit limit still gets a
    // next number (which, once in use, makes the backup copy fail safely).
    long long highest = -1;
    for (const OsFoundFile& match : found) {
        if (match.isDirectory) continue;
        for (const char* dash = std::strchr(match.name.c_str(), '-'); dash != nullptr;
             dash = std::strchr(dash + 1, '-')) {
            long long value = LeadingDigits(dash + 1);
            if (value > highest) {
                highest = value;
                break;
            }
        }
    }
    return FormatText("%s\\RP121032.INI.bak-%lld", dir, highest + 1);
}

int MakeIniRepairChanges(const IniRepairProposal& proposal, const void* owner) {
    // Without a proposal the new lines are empty: backing up and then writing
    // them would leave an empty RP121032.INI behind.
    if (!proposal.built) {
        Show(owner, "No changes were made: there is no proposed RP121032.INI to write.");
        return 0;
    }
    char windowsDir[1000];
    if (OsGetWindowsDirectory(windowsDir, sizeof windowsDir) == 0 || windowsDir[0] == '\0') {
        Show(owner, "No changes were made: the Windows directory is not known.");
        return 0;
    }
    std::string file = FormatText("%s\\RP121032.INI", windowsDir);
    std::string backup = ChooseIniBackupName(windowsDir);

    if (!OsCopyFile(file.c_str(), backup.c_str(), true)) {
        Show(owner, FormatText("Unable to back up RP1210 INI File [%s] to file name [%s].  Changes have not be made.",
                               file.c_str(), backup.c_str()));
        return 0;
    }
    // Only now, with the backup in place, may the file be emptied.
    std::FILE* out = OsOpenFile(file.c_str(), "w");
    if (out == nullptr) {
        Show(owner, FormatText("Unable open file %s for changes.  Changes will not be made.", file.c_str()));
        return 0;
    }
    bool written = OsWriteText(out, proposal.newLine1.c_str()) == 1 && OsWriteText(out, proposal.newLine2.c_str()) == 1;
    if (std::fclose(out) != 0) written = false;
    if (!written) {
        // A half-written RP121032.INI would break every RP1210 application on
        // the PC: put the old file back from its backup if at all possible.
        if (OsCopyFile(backup.c_str(), file.c_str(), false)) {
            Show(owner, FormatText("Unable to write the new RP1210 INI File [%s].  The old file was put back from its "
                                   "backup [%s].",
                                   file.c_str(), backup.c_str()));
        } else {
            Show(owner, FormatText("Unable to write the new RP1210 INI File [%s].  The old file is kept in [%s]: copy "
                                   "it back to restore it.",
                                   file.c_str(), backup.c_str()));
        }
        return 0;
    }
    Show(owner, FormatText("SUCCESS - RP1210 INI File [%s] was backed up to [%s] and a new RP121032.INI file was "
                           "written.",
                           file.c_str(), backup.c_str()));
    return 1;
}
