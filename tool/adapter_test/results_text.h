// The verdict text of the results discussion: one of three fixed blocks,
// chosen by the run's outcome, with vendor, device, protocol and message count
// filled in. Every line is its indent, its text and blanks up to its width,
// then CR LF.
#pragma once

#include <string>

struct ResultsFacts {
    const char* vendorKey;
    const char* deviceText;
    const char* protocolString;
    int messageCount;
    int testSeconds;
};

// connectState 1 / dataState 1: connect failure; 0 / 0: success; 0 / 1: no
// messages. Any other pair has no discussion: the text is empty.
std::string ComposeResultsDiscussion(int dataState, int connectState, const ResultsFacts& facts);
