#pragma once

// The corpus's rule files of the 10.4 command and its later releases (the newer grammar), and
// their lines as a rule file holds them. Shared by the checker's and the packet filter's tests.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kw::test {

inline constexpr const char* kTigerRuleFiles[] = {
    "rules-apple-osxserver-docs.txt",
    "rules-bastille-osxfirewall.txt",
    "rules-magnusviri-2014-elk-ipfw-commands.txt",
    "rules-magnusviri-2014-osxserver-ipfw-commands.txt",
    "rules-magnusviri-2014-osxserver-ipfw-conf.txt",
    "rules-opencoff-osx-ipfw-conf.txt",
};

// One corpus file as a rule file: each command line as the command hands it over ("ipfw" and
// "-q" in front and the shell's quotes dropped: ipfw 'add 02000 ...' is "add 02000 ..."), other
// lines as they are. Lines that add rule 65535 go to defaultRuleLines instead: no release lets
// a rule be added with the default rule's number.
struct TigerRuleFile {
    std::string text;
    std::vector<std::string> defaultRuleLines;
    int addLines = 0;
};

inline TigerRuleFile tigerRuleFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    TigerRuleFile file;
    std::string line;
    while (std::getline(in, line)) {
        std::string command = line;
        for (const char* prefix : { "ipfw ", "-q " }) {
            if (command.rfind(prefix, 0) == 0) {
                command.erase(0, std::string(prefix).size());
            }
        }
        if (command.rfind("add ", 0) == 0 || command.rfind("'add ", 0) == 0) {
            std::erase(command, '\'');
            if (command.rfind("add 65535 ", 0) == 0) {
                file.defaultRuleLines.push_back(command);
                command.clear();
            } else {
                ++file.addLines;
            }
            line = command;
        }
        file.text += line + '\n';
    }
    return file;
}

} // namespace kw::test
