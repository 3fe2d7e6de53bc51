// A private temporary directory for one test, removed with its contents at
// the end of the scope.
#pragma once

#include <string>

namespace palvon::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Whole content of a file ("" when it cannot be read).
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

}  // namespace palvon::test
