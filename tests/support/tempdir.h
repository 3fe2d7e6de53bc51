// A private temporary directory for one test, removed with its contents at
// the end of the scope.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace palvon::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Every file's content, one after another ("" for an empty directory):
  // what a sanitizer wrote there through its log_path.
  std::string allFiles() const;

 private:
  std::string path_;
};

// Whole content of a file ("" when it cannot be read).
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

// An authority file of these records (family 256 local, 65535 wild), as
// libXau writes it; a record without a number is written without one.
struct AuthorityRecord {
  uint16_t family;
  std::string address, number, name, data;
};
void writeAuthorityFile(const std::string& path, const std::vector<AuthorityRecord>& records);

}  // namespace palvon::test
