// A loader for tests: the platform's own, counting loads and releases and
// keeping every name looked up. Installed while the object lives.
#pragma once

#include "os/os.h"
#include "tests/support/scoped_hooks.h"

#include <string>
#include <vector>

class CountingLoader {
public:
    CountingLoader();
    ~CountingLoader();
    CountingLoader(const CountingLoader&) = delete;
    CountingLoader& operator=(const CountingLoader&) = delete;

    int loads() const;       // successful loads
    int releases() const;
    std::vector<std::string> lookups() const;  // names asked for, in order
    bool LookedUp(const std::string& name) const;

private:
    ScopedHooks hooks_;  // the table in force before comes back with it
};
