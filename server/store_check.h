#pragma once

#include <filesystem>

namespace qel::server {

// Refuses (ConfigError) a central database file that exists and holds tables
// but is not a central store, e.g. a station database given by mistake:
// opening it would add the central tables beside the station's own. A
// missing or empty file, or an empty database, is fine.
void requireCentralStoreOrEmpty(const std::filesystem::path& file);

}  // namespace qel::server
