#include "tests/support/temp_windows_dir.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

TempWindowsDir::TempWindowsDir() {
    static std::atomic<unsigned> counter{0};
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = fs::temp_directory_path() /
                             ("qrn-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
        if (fs::create_directory(candidate)) {
            dir_ = candidate;
            break;
        }
    }
    if (dir_.empty()) throw std::runtime_error("cannot create a temporary directory");
    path_ = dir_.string();
    OsSetWindowsDirectory(path_.c_str());
    OsRecordMessageBoxes();
}

TempWindowsDir::~TempWindowsDir() {
    OsTakeRecordedMessageBoxes();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

void TempWindowsDir::Write(const std::string& name, const std::string& content) const {
    std::ofstream out(dir_ / name, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + name);
}

void TempWindowsDir::Remove(const std::string& name) const { fs::remove(dir_ / name); }

std::vector<std::string> TempWindowsDir::TakeBoxTexts() const {
    std::vector<std::string> texts;
    for (const OsMessageBoxCall& box : OsTakeRecordedMessageBoxes()) texts.push_back(box.text);
    return texts;
}
