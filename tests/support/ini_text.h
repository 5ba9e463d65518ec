// An INI file built by tests: sections and keys in the order first set, a
// key set again keeps its place. Text() gives the file with CR LF line ends.
#pragma once

#include <string>
#include <utility>
#include <vector>

class IniText {
public:
    IniText& Set(const std::string& section, const std::string& key, const std::string& value);
    IniText& Remove(const std::string& section, const std::string& key);
    IniText& RemoveSection(const std::string& section);
    std::string Text() const;

private:
    using Keys = std::vector<std::pair<std::string, std::string>>;
    std::vector<std::pair<std::string, Keys>> sections_;
};
