// The virtual adapter's traffic sources: capture replay, periodic J1708
// messages and the script file.
#include "sim/va_state.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include "sim/va_candump.h"

#include <cctype>

namespace va {

// ---- Traffic sources -------------------------------------------------------------

Clock::time_point ReplayDue_locked() {
    const ReplayFrame& frame = S().replayFrames[S().replayNext];
    if (S().replaySpeed == 0) return S().replayStart;
    return S().replayStart + std::chrono::microseconds(frame.offsetMicros / S().replaySpeed);
}

// Plays the next replay frame when it is due. True when one was played.
bool ReplayStep_locked(Clock::time_point now, Clock::time_point& wakeAt, Lock& lock) {
    if (!S().replayActive) return false;
    if (!S().replayStarted) {
        S().replayStarted = true;
        S().replayStart = now;
    }
    if (S().replayNext >= S().replayFrames.size()) {
        if (S().replayLoop && !S().replayFrames.empty()) {
            S().replayNext = 0;
            S().replayStart = now;
        } else {
            S().replayActive = false;
            S().replayDone = true;
            S().changed.notify_all();
            return false;
        }
    }
    Clock::time_point due = ReplayDue_locked();
    if (due > now) {
        wakeAt = std::min(wakeAt, due);
        return false;
    }
    const ReplayFrame& frame = S().replayFrames[S().replayNext++];
    BusMessage message;
    message.linkCode = kLinkCodeCan1;
    message.width = frame.width;
    message.identifier = frame.identifier;
    message.data.assign(frame.data, frame.data + frame.length);
    ++S().replayDelivered;
    if (S().replayNext >= S().replayFrames.size() && !S().replayLoop) {
        S().replayActive = false;
        S().replayDone = true;
    }
    Deliver_locked(message, 0, 0, 0, lock);
    return true;
}

bool J1708Step_locked(Clock::time_point now, Clock::time_point& wakeAt, Lock& lock) {
    if (S().j1708Interval == 0) return false;
    auto interval = std::chrono::milliseconds(S().j1708Interval);
    if (!S().j1708Started) {
        S().j1708Started = true;
        S().j1708Next = now + interval;
    }
    if (S().j1708Next > now) {
        wakeAt = std::min(wakeAt, S().j1708Next);
        return false;
    }
    S().j1708Next += interval;
    if (S().j1708Next < now) S().j1708Next = now + interval;  // fell behind: no burst
    uint32_t tick = S().j1708Tick++;
    // An engine warming up at idle: engine speed 0.25 rpm/bit, road speed
    // 0.5 mph/bit, coolant 1 degree F/bit, oil pressure 0.5 psi/bit.
    uint32_t rpm4 = (600 + (tick * 25) % 800) * 4;
    std::vector<std::vector<uint8_t>> messages = {
        {128, 190, static_cast<uint8_t>(rpm4 & 0xFF), static_cast<uint8_t>(rpm4 >> 8)},
        {128, 84, static_cast<uint8_t>(tick % 120)},
        {128, 110, static_cast<uint8_t>(150 + tick % 40), 100, static_cast<uint8_t>(80 + tick % 20)},
    };
    for (auto& bytes : messages) {
        BusMessage message;
        message.linkCode = kLinkCodeJ1708;
        message.data = std::move(bytes);
        Deliver_locked(message, 0, 0, 0, lock);
    }
    return true;
}

// Something of a traffic source is due now (for VaWaitIdle).
bool SourceDue_locked(Clock::time_point now) {
    if (S().replayActive && (!S().replayStarted || S().replayNext >= S().replayFrames.size() ||
                             ReplayDue_locked() <= now)) {
        return true;
    }
    return S().j1708Interval != 0 && (!S().j1708Started || S().j1708Next <= now);
}

// ---- The script file ---------------------------------------------------------------

void ApplyScriptLine_locked(const std::string& line, const std::string& directory, std::string& replayPath,
                            uint32_t& speed, bool& loop) {
    size_t equals = line.find('=');
    if (equals == std::string::npos) return;
    std::string key = line.substr(0, equals);
    std::string value = line.substr(equals + 1);
    auto trim = [](std::string& text) {
        size_t start = text.find_first_not_of(" \t\r\n");
        size_t end = text.find_last_not_of(" \t\r\n");
        text = start == std::string::npos ? std::string() : text.substr(start, end - start + 1);
    };
    trim(key);
    trim(value);
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (key == "replay") {
        bool absolute = !value.empty() && (value[0] == '/' || value[0] == '\\' || value.find(':') != std::string::npos);
        replayPath = absolute || directory.empty() ? value : directory + value;
    } else if (key == "speed") {
        speed = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
    } else if (key == "loop") {
        loop = std::strtol(value.c_str(), nullptr, 10) != 0;
    } else if (key == "j1708") {
        unsigned long interval = std::strtoul(value.c_str(), nullptr, 10);
        S().j1708Interval = interval == 1 ? 100 : static_cast<uint32_t>(interval);
    } else if (key == "description") {
        S().description = value.substr(0, 79);
    }
}

void InstallReplay_locked(std::vector<ReplayFrame>&& frames, uint32_t speed, bool loop) {
    S().replayFrames = std::move(frames);
    S().replayNext = 0;
    S().replaySpeed = speed;
    S().replayLoop = loop;
    S().replayActive = true;
    S().replayStarted = false;
    S().replayDone = false;
    S().replayDelivered = 0;
    S().wake.notify_all();
}

std::vector<ReplayFrame> LoadReplay(const std::string& path) {
    std::vector<CandumpFrame> frames = ReadCandumpFile(path);
    std::vector<ReplayFrame> replay;
    replay.reserve(frames.size());
    for (const CandumpFrame& frame : frames) {
        ReplayFrame out{};
        out.offsetMicros = std::max<int64_t>(0, frame.timeMicros - frames.front().timeMicros);
        out.identifier = frame.identifier;
        out.width = frame.width;
        out.length = frame.length;
        std::memcpy(out.data, frame.data, frame.length);
        replay.push_back(out);
    }
    return replay;
}

// At the first open of the module: <own name>.SCRIPT beside the module, or
// else VADAPTER.SCRIPT there. One key=value per line: replay=PATH (relative to
// the script's directory), speed=N, loop=0|1, j1708=MS (1 means 100 ms),
// description=TEXT.
void ReadScript_locked() {
    if (S().scriptRead) return;
    S().scriptRead = true;
    std::string path = OwnPath();
    size_t slash = path.find_last_of("/\\");
    std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string base = path.substr(directory.size());
    size_t dot = base.find_last_of('.');
    if (dot != std::string::npos) base = base.substr(0, dot);
    std::FILE* file = std::fopen((directory + base + ".SCRIPT").c_str(), "r");
    if (file == nullptr) file = std::fopen((directory + "VADAPTER.SCRIPT").c_str(), "r");
    if (file == nullptr) return;
    std::string replayPath;
    uint32_t speed = 1;
    bool loop = false;
    char line[1024];
    for (int lines = 0; lines < 1000 && std::fgets(line, sizeof line, file) != nullptr; ++lines) {
        ApplyScriptLine_locked(line, directory, replayPath, speed, loop);
    }
    std::fclose(file);
    if (!replayPath.empty()) {
        std::vector<ReplayFrame> frames = LoadReplay(replayPath);
        if (!frames.empty()) InstallReplay_locked(std::move(frames), speed, loop);
    }
}

}  // namespace va
