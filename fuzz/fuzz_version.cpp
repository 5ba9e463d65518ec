// Feeds arbitrary bytes as a PE file through the version-resource reader and
// the sub-block queries the checker makes of it.
#include "os/pe_version.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> block;
    if (!PeFindVersionResource(data, size, &block)) return 0;
    static const char* const kPaths[] = {
        "\\",
        "\\VarFileInfo\\Translation",
        "\\StringFileInfo\\040904e4\\CompanyName",
        "\\StringFileInfo\\040904e4\\FileVersion",
        "\\StringFileInfo\\040704e4\\ProductVersion",
        "\\StringFileInfo",
        "\\\\\\",
    };
    for (const char* path : kPaths) {
        size_t offset = 0, length = 0;
        bool isText = false;
        if (PeQueryVersionValue(block.data(), block.size(), path, &offset, &length, &isText)) {
            // What comes back must lie inside the block.
            if (offset > block.size() || length > block.size() - offset) std::abort();
        }
    }
    return 0;
}
