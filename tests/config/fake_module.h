// Test helpers for the settings tests: the module path that the stand-in platform reports, and
// a temporary directory that is removed again.
#pragma once

#include <string>

namespace fake {

// The path that platform::ModuleFileName reports for the driver module; empty makes it fail.
extern std::string g_modulePath;

// A fresh temporary directory, removed with its content on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
// Names in the directory, "." and ".." left out, sorted.
std::string ListDir(const std::string& path);

}  // namespace fake
