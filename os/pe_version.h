// Reading the version resource of a PE file without the Windows version
// service: the POSIX side of the OS layer's version functions, and the
// reader the tests and fuzz targets exercise. Every offset, size and count
// in the file is checked against the data before it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The raw VS_VERSIONINFO block of a PE image: its first RT_VERSION resource
// (first name, first language). False when the image has none or is not a
// well-formed PE image.
bool PeFindVersionResource(const uint8_t* image, size_t imageSize, std::vector<uint8_t>* block);

// Looks a sub-block up in a raw VS_VERSIONINFO block, as VerQueryValueW
// does: "\\" is the root's fixed file information, "\\VarFileInfo\\Translation"
// a binary value, "\\StringFileInfo\\<lang><codepage>\\<key>" a UTF-16 string;
// names compare without regard to ASCII case. On success *offset and *length
// give the value's place in the block (length in bytes, without the
// terminator for strings) and *isText whether it is text.
bool PeQueryVersionValue(const uint8_t* block, size_t blockSize, const char* subBlock, size_t* offset,
                         size_t* length, bool* isText);
