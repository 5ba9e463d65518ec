// The INI repair: rewrite RP121032.INI so that APIImplementations names the
// vendor chosen in the main window first, then every other vendor that
// loaded, after backing the current file up under the next free number.
//
// The repair dialog is a thin window over these three operations: it builds
// the proposal while it opens, shows its texts, and calls
// MakeIniRepairChanges for each press of "Make Changes". Every message is a
// box owned by the dialog with the checker's caption and an OK button.
//
// Single-threaded: used on the user-interface thread only.
#pragma once

#include "tool/config/catalogue.h"

#include <string>

struct IniRepairProposal {
    std::string currentLine1;   // first two lines of the current file, at most
    std::string currentLine2;   // 499 characters each, without their line feed
    std::string newLine1;       // what "Make Changes" writes; empty until a
    std::string newLine2;       // proposal is built
    bool built = false;         // a proposal exists (there is something to write)
    bool problems = false;      // the proposal's length differs from current line 2
    std::string currentText;    // edit 1008: "%s\r\n%s" of the current lines
    std::string proposedText;   // edit 1013
};

// Builds the proposal as the dialog opens: reads the current file (the
// catalogue's main INI path) and forms the new lines for `chosenKey`, the
// first word of the Vendor list's current entry. Shows the unreadable-file
// and problems messages owned by `owner`. With no chosen key (no vendor), or
// a key that names no vendor that loaded, nothing is proposed. A key of 8
// characters (the most the Vendor list shows) that is the start of exactly
// one longer vendor name stands for that name.
void BuildIniRepairProposal(const RP1210Catalogue& catalogue, const std::string& chosenKey, const void* owner,
                            IniRepairProposal* proposal);

// The backup name for RP121032.INI in `windowsDirectory`:
// "%s\\RP121032.INI.bak-%d" with the number after the highest one in use.
std::string ChooseIniBackupName(const char* windowsDirectory);

// "Make Changes": backs the current file up under a new name, then writes
// the proposal's two lines in text mode. Returns 1 when the new file was
// written, 0 otherwise (after its message). Does nothing but tell the user
// when no proposal was built.
int MakeIniRepairChanges(const IniRepairProposal& proposal, const void* owner);
