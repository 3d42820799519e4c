#pragma once

#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <random>
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

// A fresh folder under the system's temporary folder, its name starting
// with `prefix`, removed with its contents when the object goes.
class TempFolder {
  public:
    explicit TempFolder(const std::string& prefix = "qel_db") {
        // A name nobody else holds: create_directory says whether it was new.
        std::random_device random;
        for (int attempt = 0; attempt < 100; ++attempt) {
            path_ = std::filesystem::temp_directory_path() /
                    (prefix + "_" + std::to_string(random()) + std::to_string(random()));
            std::error_code ec;
            if (std::filesystem::create_directory(path_, ec)) return;
        }
        std::abort();
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
