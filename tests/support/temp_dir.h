// A temporary folder that lives as long as the test needs it, and whole-file reading and
// writing for checking what the code under test left on disk.
#pragma once

#include <string>

namespace sorvanta::testing {

class TempDir {
 public:
  // Creates a fresh folder /tmp/sorvanta-<prefix>-XXXXXX; ok() is false if that failed.
  explicit TempDir(const std::string& prefix = "test");
  // Removes the folder and everything in it, read-only sub-folders included.
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  // The folder joined with a name (which may hold further '/' parts).
  std::string Path(const std::string& name) const;
  // Removes the folder now; true when nothing of it is left. Afterwards path() is empty
  // and later calls do nothing.
  bool Remove();

 private:
  std::string path_;
};

// The bytes of a file, or "" when it cannot be read.
std::string ReadWholeFile(const std::string& path);
// Creates or truncates the file and writes content; false when that fails.
bool WriteWholeFile(const std::string& path, const std::string& content);

}  // namespace sorvanta::testing
