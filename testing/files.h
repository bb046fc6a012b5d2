// Temporary folders and whole files, for tests that hand a program files or read what it wrote.
#pragma once

#include <string>
#include <vector>

namespace kavri::testing {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The file's bytes; empty when it cannot be read.
std::string readFile(const std::string& path);
// Its lines, without their line feeds.
std::vector<std::string> readLines(const std::string& path);
// Replaces the file with bytes, making its folders first.
void writeFile(const std::string& path, const std::string& bytes);

}  // namespace kavri::testing
