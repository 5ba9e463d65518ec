// The virtual adapter module: its state, its adapter thread and its file.
#include "sim/va_state.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace va {

// The state lives on the heap. At unload it is freed only when no adapter
// thread is left; otherwise it stays for the thread (see va_state.h).
namespace {
struct StateHolder {
    State* state = new State;
    ~StateHolder() {
        if (state->thread == nullptr && state->retired.empty()) delete state;
    }
};
StateHolder g_holder;
}  // namespace

State& S() { return *g_holder.state; }

// ---- The module file -------------------------------------------------------

std::string OwnPath() {
#if defined(_WIN32)
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&OwnPath), &self)) {
        return std::string();
    }
    char path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(path, length) : std::string();
#else
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&OwnPath), &info) == 0 || info.dli_fname == nullptr) return std::string();
    return info.dli_fname;
#endif
}

// Keeps this module loaded until the process ends.
void PinModule() {
#if defined(_WIN32)
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(&PinModule), &self);
#else
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&PinModule), &info) != 0 && info.dli_fname != nullptr) {
        dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    }
#endif
}

// ---- The adapter thread ------------------------------------------------------------

void AdapterThreadMain(ThreadRecord* self) {
    Lock lock(S().lock);
    while (!self->stop) {
        if (!S().work.empty()) {
            Work item = std::move(S().work.front());
            S().work.pop_front();
            if (item.kind == Work::kDeliver) --S().queuedDeliveries;
            ++S().processing;
            Process_locked(item, lock);
            --S().processing;
            continue;
        }
        Clock::time_point now = Clock::now();
        Clock::time_point wakeAt = Clock::time_point::max();
        ++S().processing;
        bool played = ReplayStep_locked(now, wakeAt, lock) || J1708Step_locked(now, wakeAt, lock);
        --S().processing;
        if (played) continue;
        S().changed.notify_all();  // idle
        if (wakeAt == Clock::time_point::max()) {
            S().wake.wait(lock);
        } else {
            S().wake.wait_until(lock, wakeAt);
        }
    }
    self->exited = true;
    S().changed.notify_all();
}

// Joins retired threads that have ended.
void ReapRetired_locked() {
    auto& retired = S().retired;
    for (auto it = retired.begin(); it != retired.end();) {
        if ((*it)->exited) {
            (*it)->thread.join();  // it has left its loop and needs the lock no more
            delete *it;
            it = retired.erase(it);
        } else {
            ++it;
        }
    }
}

int32_t StartThread_locked() {
    if (S().thread != nullptr) return kVaOk;
    ReapRetired_locked();
    auto* record = new (std::nothrow) ThreadRecord;
    if (record == nullptr) return kVaErrNoMemory;
    try {
        record->thread = std::thread(AdapterThreadMain, record);
    } catch (...) {
        delete record;
        return kVaErrNoMemory;
    }
    record->id = record->thread.get_id();
    S().thread = record;
    return kVaOk;
}

// Asks the adapter thread to stop and joins it (at most 10 s of waiting for
// it to leave a callback). A thread that cannot be joined now, including the
// calling thread itself, is kept for later and the module pinned.
void StopThread_locked(Lock& lock) {
    ThreadRecord* record = S().thread;
    if (record == nullptr) return;
    S().thread = nullptr;
    record->stop = true;
    S().wake.notify_all();
    if (record->id == std::this_thread::get_id()) {
        S().retired.push_back(record);
        PinModule();
        return;
    }
    S().changed.wait_for(lock, kCallbackWait, [&] { return record->exited; });
    if (!record->exited) {
        S().retired.push_back(record);
        PinModule();
        return;
    }
    lock.unlock();
    record->thread.join();
    lock.lock();
    delete record;
}

}  // namespace va
