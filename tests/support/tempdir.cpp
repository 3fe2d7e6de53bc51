#include "support/tempdir.h"

#include <X11/Xauth.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace palvon::test {

TempDir::TempDir() {
  char pattern[] = "/tmp/palvon-test-XXXXXX";
  const char* made = mkdtemp(pattern);
  path_ = made ? made : "/tmp";
}

TempDir::~TempDir() {
  if (path_ == "/tmp") return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::allFiles() const {
  std::string text;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(path_, ignored)) text += readFile(entry.path());
  return text;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

void writeAuthorityFile(const std::string& path, const std::vector<AuthorityRecord>& records) {
  FILE* file = fopen(path.c_str(), "wb");
  if (!file) return;
  for (const AuthorityRecord& r : records) {
    auto text = [](const std::string& field) { return const_cast<char*>(field.data()); };
    Xauth auth{r.family,      uint16_t(r.address.size()), text(r.address), uint16_t(r.number.size()),
               text(r.number), uint16_t(r.name.size()),    text(r.name),    uint16_t(r.data.size()),
               text(r.data)};
    XauWriteAuth(file, &auth);
  }
  fclose(file);
}

}  // namespace palvon::test
