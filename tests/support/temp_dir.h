// TempDir: a fresh private directory for one test, removed with everything in it at the end.
//
//     vexlor::testing::TempDir dir;
//     ASSERT_TRUE(dir.ok());
//     dir.write("Vexlor.ini", "[DEV]\n...");
//     std::string path = dir.file("libvexlor.so");
#pragma once

#include <optional>
#include <string>

namespace vexlor::testing {

class TempDir {
  public:
    // Creates <$TMPDIR or /tmp>/<prefix>-XXXXXX with mkdtemp (mode 0700).
    explicit TempDir(const std::string& prefix = "vexlor-test");
    // Removes the directory recursively (symbolic links are removed, not followed).
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    // path() + "/" + name; name may contain subdirectories.
    std::string file(const std::string& name) const;

    // Writes a file (binary, replacing it); creates missing subdirectories.
    bool write(const std::string& name, const std::string& content) const;
    // Reads a whole file; nullopt when it cannot be read.
    std::optional<std::string> read(const std::string& name) const;
    bool exists(const std::string& name) const;

  private:
    std::string path_;
};

}  // namespace vexlor::testing
