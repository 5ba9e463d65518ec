// Replaces entries of the OS layer's table of replaceable functions for one
// scope; the table in force before comes back when the object goes.
//
//   ScopedHooks hooks;
//   hooks.table().sleep = FastSleep;
//   hooks.Apply();
#pragma once

#include "os/os.h"

class ScopedHooks {
public:
    ScopedHooks() : saved_(OsGetHooks()), table_(saved_) {}
    ~ScopedHooks() { OsSetHooks(&saved_); }
    ScopedHooks(const ScopedHooks&) = delete;
    ScopedHooks& operator=(const ScopedHooks&) = delete;

    OsHooks& table() { return table_; }
    void Apply() { OsSetHooks(&table_); }

private:
    OsHooks saved_;
    OsHooks table_;
};
