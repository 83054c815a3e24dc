// A fresh folder under the system's temporary folder, removed with its
// content when the object goes.
#pragma once

#include <filesystem>
#include <string>

namespace tarvik::testsupport {

class TempDir {
public:
    explicit TempDir(const std::string& prefix = "tarvik");
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace tarvik::testsupport
