#pragma once

#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>
#include <system_error>

#include "core/variant.h"

namespace qel {

// Readable values in test failure messages.
inline void PrintTo(const Variant& value, std::ostream* os) {
    *os << kindName(value.kind());
    try {
        *os << "(" << value.asString() << ")";
    } catch (...) {
    }
}

}  // namespace qel

namespace qel::db::testing {

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
class TempFolder {
  public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qel_db_XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string string() const { return path_.string(); }

  private:
    std::filesystem::path path_;
};

}  // namespace qel::db::testing
