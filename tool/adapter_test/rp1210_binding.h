// Binding the RP1210 library under test: load it by file name and look up
// its entry points, plain names first, then the decorated names.
#pragma once

#include "tool/adapter_test/rp1210_api.h"

// Loads `libraryFileName` and binds its entry points into `api`, storing the
// library into api->library as soon as the load returns (also when a later
// step fails). Returns 1 on success; 0 when the library cannot be loaded
// (no message) or a required entry point is missing (a box naming it, owned
// by `owner`; later entry points are not looked up).
int BindRp1210Library(const char* libraryFileName, Rp1210Api* api, const void* owner);
