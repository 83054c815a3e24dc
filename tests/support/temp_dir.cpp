#include "support/temp_dir.h"

#include <stdlib.h>

#include <cerrno>
#include <system_error>

namespace tarvik::testsupport {

TempDir::TempDir(const std::string& prefix)
{
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        const int err = errno;
        throw std::system_error(err, std::generic_category(), "mkdtemp");
    }
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

} // namespace tarvik::testsupport
