#include "tests/support/ini_text.h"

#include <algorithm>

IniText& IniText::Set(const std::string& section, const std::string& key, const std::string& value) {
    auto found = std::find_if(sections_.begin(), sections_.end(), [&](const auto& s) { return s.first == section; });
    if (found == sections_.end()) {
        sections_.push_back({section, {}});
        found = sections_.end() - 1;
    }
    auto& keys = found->second;
    auto entry = std::find_if(keys.begin(), keys.end(), [&](const auto& k) { return k.first == key; });
    if (entry == keys.end()) {
        keys.push_back({key, value});
    } else {
        entry->second = value;
    }
    return *this;
}

IniText& IniText::Remove(const std::string& section, const std::string& key) {
    for (auto& s : sections_) {
        if (s.first != section) continue;
        s.second.erase(std::remove_if(s.second.begin(), s.second.end(), [&](const auto& k) { return k.first == key; }),
                       s.second.end());
    }
    return *this;
}

IniText& IniText::RemoveSection(const std::string& section) {
    sections_.erase(std::remove_if(sections_.begin(), sections_.end(), [&](const auto& s) { return s.first == section; }),
                    sections_.end());
    return *this;
}

std::string IniText::Text() const {
    std::string text;
    for (const auto& s : sections_) {
        text += "[" + s.first + "]\r\n";
        for (const auto& k : s.second) text += k.first + "=" + k.second + "\r\n";
        text += "\r\n";
    }
    return text;
}
