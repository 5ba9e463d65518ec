// A temporary Windows directory for one test: the OS layer's Windows directory
// points at it while the object lives, message boxes are recorded instead of
// shown, and everything written into it is removed at the end.
#pragma once

#include "os/os.h"
#include "tests/support/scoped_hooks.h"

#include <filesystem>
#include <string>
#include <vector>

class TempWindowsDir {
public:
    TempWindowsDir();
    ~TempWindowsDir();
    TempWindowsDir(const TempWindowsDir&) = delete;
    TempWindowsDir& operator=(const TempWindowsDir&) = delete;

    // The directory as the OS layer reports it.
    const std::string& path() const { return path_; }

    // Writes `content` byte for byte to the file `name` in the directory.
    void Write(const std::string& name, const std::string& content) const;
    void Remove(const std::string& name) const;

    // The boxes shown since the last call, oldest first.
    std::vector<OsMessageBoxCall> TakeBoxes() const { return OsTakeRecordedMessageBoxes(); }
    std::vector<std::string> TakeBoxTexts() const;

private:
    std::filesystem::path dir_;
    std::string path_;
    ScopedHooks hooks_;  // the table in force before comes back with it
};
