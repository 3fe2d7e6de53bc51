#include "support/configtext.h"

#include "Proxy/config/parser.h"
#include "support/tempdir.h"

namespace palvon::test {

std::string parseConfigWords(const std::vector<std::string>& words, bool addDefaults) {
  std::vector<std::string> storage = {"palvon"};
  storage.insert(storage.end(), words.begin(), words.end());
  std::vector<char*> argv;
  for (std::string& word : storage) argv.push_back(word.data());
  argv.push_back(nullptr);
  const char* error = parseCommandLine(int(storage.size()), argv.data(), addDefaults);
  return error ? error : "";
}

std::string parseConfigText(const std::string& dir, const std::string& text, bool addDefaults,
                            const std::string& name) {
  std::string path = dir + "/" + name;
  writeFile(path, text);
  std::string error = parseConfigWords({path}, addDefaults);
  for (size_t at; (at = error.find(path)) != std::string::npos;) error.replace(at, path.size(), "FILE");
  return error;
}

}  // namespace palvon::test
