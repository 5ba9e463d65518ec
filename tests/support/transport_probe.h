// Looks into a test transport library that the process has loaded (by the
// multiplexer, say) without loading it again, so that a test can read its
// call log and see whether it is still loaded.
#pragma once

#include <string>

// Whether the library of this file name (beside the test program) is loaded.
bool TransportLoaded(const std::string& fileName);
// Its call log (one line per call), or "" when it is not loaded.
std::string TransportCalls(const std::string& fileName);
// Clears its call log, when it is loaded.
void ClearTransportCalls(const std::string& fileName);
// The number of log lines that start with `prefix`.
int CountCalls(const std::string& log, const std::string& prefix);
