#include "contracts/support_library.h"

#include "contracts/connection_string.h"
#include "core/error.h"
#include "core/text.h"

namespace qel::contracts {

bool EmptyString(std::string_view s) {
    return text::trim(s).empty();
}

std::string GetStringConexQel(const platform::Platform& platform, std::string_view /*unused*/) {
    const auto configured = platform.readMachineString(kOrbelKey, sStringConexao);
    if (!configured || EmptyString(*configured)) {
        return formatConnectionString({{"Provider", "SQLite"},
                                       {"Initial Catalog", "QELCAIXA"},
                                       {"Data Source", platform.executableFolder().string()}});
    }
    // Keep every setting, but put the catalogue and the server last and in
    // that order, whatever order the administrator wrote them in.
    ConnectionStringPairs pairs = parseConnectionString(*configured);
    ConnectionStringPairs result;
    std::string catalog, source;
    bool hasCatalog = false, hasSource = false;
    for (auto& [key, value] : pairs) {
        if (text::iequals(key, "Initial Catalog")) {
            catalog = value, hasCatalog = true;
        } else if (text::iequals(key, "Data Source")) {
            source = value, hasSource = true;
        } else {
            result.emplace_back(key, value);
        }
    }
    if (!hasCatalog || !hasSource) {
        throw ConfigError("The station connection string (" + std::string(sStringConexao) +
                          ") must name both Initial Catalog and Data Source");
    }
    result.emplace_back("Initial Catalog", catalog);
    result.emplace_back("Data Source", source);
    return formatConnectionString(result);
}

}  // namespace qel::contracts
