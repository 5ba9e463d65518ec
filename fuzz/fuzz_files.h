// A scratch directory for fuzz targets that feed their input through files.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// One directory per fuzzing process, made at first use.
inline const std::string& FuzzDirectory() {
    static const std::string dir = [] {
        char pattern[] = "/tmp/qrn-fuzz-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made == nullptr) std::abort();
        return std::string(made);
    }();
    return dir;
}

// Writes `content` byte for byte to `name` in that directory.
inline void WriteFuzzFile(const std::string& name, const std::string& content) {
    std::string path = FuzzDirectory() + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
}
