// The configuration language from the command line down: argument joining,
// the lexer, expressions, variables, statements, nested files and linking.
//
// An input is up to four pieces separated by NUL bytes (which no
// configuration text may hold): the texts of the files "a", "b" and "c", then
// extra command-line arguments, one per line. The proxy is started as
// "palvon <arguments...> a". Only those three names open a file, all of them
// in a private directory, so no input reads the rest of the file system or
// waits on standard input; variables an input sets are undone after it.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "Proxy/config/config.h"
#include "Proxy/config/parser.h"
#include "base/logging.h"

extern char** environ;

namespace {

constexpr const char* kFileNames[] = {"a", "b", "c"};
std::string gDirectory;
std::vector<char*> gEnvironment;  // "NAME=value" copies, kept for putenv

FILE* openInputFile(const char* name) {
  for (const char* known : kFileNames)
    if (strcmp(name, known) == 0) return fopen((gDirectory + "/" + name).c_str(), "r");
  errno = ENOENT;
  return nullptr;
}

void removeFiles() {
  for (const char* name : kFileNames) unlink((gDirectory + "/" + name).c_str());
  rmdir(gDirectory.c_str());
}

void restoreEnvironment() {
  clearenv();
  for (char* entry : gEnvironment) putenv(entry);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char directory[] = "/tmp/palvon-fuzz-XXXXXX";
  if (!mkdtemp(directory)) abort();
  gDirectory = directory;
  atexit(removeFiles);
  for (char** entry = environ; *entry; entry++) gEnvironment.push_back(strdup(*entry));
  palvon::setConfigFileOpener(openInputFile);
  // An empty file is worth a warning line; thousands of them are noise.
  palvon::logAllChannelsOff();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> pieces;
  for (size_t start = 0;;) {
    size_t end = pieces.size() < 3 ? input.find('\0', start) : std::string::npos;
    pieces.push_back(input.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  for (size_t i = 0; i < 3; i++) {
    std::string path = gDirectory + "/" + kFileNames[i];
    if (i >= pieces.size()) {
      unlink(path.c_str());  // "no configuration file"
      continue;
    }
    FILE* file = fopen(path.c_str(), "w");
    if (!file) abort();
    fwrite(pieces[i].data(), 1, pieces[i].size(), file);
    fclose(file);
  }
  std::vector<std::string> words = {"palvon"};
  if (pieces.size() == 4) {
    for (size_t start = 0; start <= pieces[3].size();) {
      size_t end = pieces[3].find('\n', start);
      if (end == std::string::npos) end = pieces[3].size();
      words.push_back(pieces[3].substr(start, end - start));
      start = end + 1;
    }
  }
  words.push_back("a");
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  palvon::parseCommandLine(int(words.size()), argv.data(), true);
  palvon::freeConfiguration(&palvon::proxyConfig);
  restoreEnvironment();
  return 0;
}
