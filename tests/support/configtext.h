// Parsing configuration text the way the proxy does, from a file or from
// command-line words.
#pragma once

#include <string>
#include <vector>

namespace palvon::test {

// Writes the text to <dir>/<name> and parses "palvon <that file>". Returns
// "" on success, else the error with the file's path replaced by "FILE".
std::string parseConfigText(const std::string& dir, const std::string& text,
                            bool addDefaults = false, const std::string& name = "test.conf");

// Parses the words as the command line "palvon <words...>"; "" on success.
std::string parseConfigWords(const std::vector<std::string>& words, bool addDefaults = false);

}  // namespace palvon::test
