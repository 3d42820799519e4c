#include "db/connection_string.h"

#include <filesystem>

#include "core/error.h"
#include "core/text.h"

namespace qel::db {
namespace {

bool endsWithIgnoringCase(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && text::iequals(s.substr(s.size() - suffix.size()), suffix);
}

bool startsWithIgnoringCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && text::iequals(s.substr(0, prefix.size()), prefix);
}

bool isTrue(std::string_view value) {
    const std::string_view v = text::trim(value);
    return text::iequals(v, "true") || text::iequals(v, "yes") || text::iequals(v, "sspi") ||
           v == "1";
}

// An ODBC attribute value, braced when it holds characters the driver
// manager would otherwise split on.
std::string odbcValue(std::string_view value, bool alwaysBrace = false) {
    const bool needsBraces = alwaysBrace || value.find_first_of(";{}=") != std::string_view::npos ||
                             (!value.empty() && (value.front() == ' ' || value.back() == ' '));
    if (!needsBraces) return std::string(value);
    std::string out = "{";
    for (char c : value) {
        out += c;
        if (c == '}') out += '}';
    }
    return out + "}";
}

void appendAttribute(std::string& out, std::string_view key, std::string_view value,
                     bool alwaysBrace = false) {
    out.append(key).append("=").append(odbcValue(value, alwaysBrace)).append(";");
}

bool isSqlServerProvider(std::string_view provider) {
    return text::iequals(provider, "SQLOLEDB") || startsWithIgnoringCase(provider, "SQLOLEDB.") ||
           startsWithIgnoringCase(provider, "MSOLEDBSQL") ||
           startsWithIgnoringCase(provider, "SQLNCLI");
}

ConnectionTarget sqlServerTarget(const ConnectionProperties& props,
                                 const ConnectionOptions& options) {
    ConnectionTarget target;
    target.backend = BackendKind::Odbc;
    target.dialect = Dialect::SqlServer;
    std::string driver = props.get("Driver");
    if (driver.empty()) driver = options.sqlServerDriver;
    std::string& out = target.odbcConnectionString;
    appendAttribute(out, "DRIVER", driver, true);
    appendAttribute(out, "SERVER",
                    props.getAny({"Data Source", "Server", "Address", "Addr", "Network Address"}));
    const std::string catalog = props.getAny({"Initial Catalog", "Database"});
    if (!catalog.empty()) appendAttribute(out, "DATABASE", catalog);
    if (isTrue(props.getAny({"Integrated Security", "Trusted_Connection"}))) {
        appendAttribute(out, "Trusted_Connection", "yes");
    } else {
        appendAttribute(out, "UID", props.getAny({"User ID", "UID", "User"}));
        appendAttribute(out, "PWD", props.getAny({"Password", "PWD"}));
    }
    const std::string app = props.getAny({"Application Name", "APP"});
    if (!app.empty()) appendAttribute(out, "APP", app);
    // SQLOLEDB did not encrypt unless asked; Microsoft's newer drivers do by
    // default and then refuse a station server's self-signed certificate.
    const bool encrypt = isTrue(props.getAny({"Use Encryption for Data", "Encrypt"}));
    if (startsWithIgnoringCase(driver, "ODBC Driver")) {
        appendAttribute(out, "Encrypt", encrypt ? "yes" : "no");
    }
    if (props.has("TrustServerCertificate")) {
        appendAttribute(out, "TrustServerCertificate",
                        isTrue(props.get("TrustServerCertificate")) ? "yes" : "no");
    }
    return target;
}

ConnectionTarget odbcTarget(const ConnectionProperties& props) {
    ConnectionTarget target;
    target.backend = BackendKind::Odbc;
    const std::string dialect = props.get("Dialect");
    if (!dialect.empty()) {
        if (text::iequals(dialect, "SQLite")) {
            target.dialect = Dialect::Sqlite;
        } else if (text::iequals(dialect, "SQLServer") || text::iequals(dialect, "SQL Server")) {
            target.dialect = Dialect::SqlServer;
        } else {
            throw DatabaseError("Unknown SQL dialect in connection string: " + dialect);
        }
    } else {
        const std::string driver = text::upper(props.get("Driver"));
        target.dialect =
            driver.find("SQLITE") != std::string::npos ? Dialect::Sqlite : Dialect::SqlServer;
    }
    for (const auto& [key, value] : props.pairs()) {
        if (text::iequals(key, "Provider") || text::iequals(key, "Dialect")) continue;
        appendAttribute(target.odbcConnectionString, key, value, text::iequals(key, "Driver"));
    }
    return target;
}

ConnectionTarget sqliteTarget(const ConnectionProperties& props) {
    ConnectionTarget target;
    target.backend = BackendKind::Sqlite;
    target.dialect = Dialect::Sqlite;
    const std::string folder = props.getAny({"Data Source", "Server"});
    target.folder = folder.empty() ? std::string(1, '.') : folder;
    const std::string catalog = props.getAny({"Initial Catalog", "Database"});
    if (catalog.empty()) {
        throw DatabaseError("Connection string names no database (Initial Catalog)");
    }
    target.databasePath = catalogPath(target.folder, catalog);
    return target;
}

}  // namespace

ConnectionProperties ConnectionProperties::parse(std::string_view text) {
    ConnectionProperties props;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t eq = text.find('=', pos);
        const std::size_t semi = text.find(';', pos);
        if (eq == std::string_view::npos || (semi != std::string_view::npos && semi < eq)) {
            const std::string_view rest = text::trim(
                text.substr(pos, semi == std::string_view::npos ? text.npos : semi - pos));
            if (!rest.empty()) {
                throw DatabaseError("Malformed connection string: '" + std::string(rest) +
                                    "' has no value");
            }
            if (semi == std::string_view::npos) break;
            pos = semi + 1;
            continue;
        }
        std::string key(text::trim(text.substr(pos, eq - pos)));
        std::size_t i = eq + 1;
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        std::string value;
        if (i < text.size() && (text[i] == '"' || text[i] == '\'' || text[i] == '{')) {
            const char open = text[i];
            const char close = open == '{' ? '}' : open;
            ++i;
            bool closed = false;
            while (i < text.size()) {
                if (text[i] == close) {
                    if (i + 1 < text.size() && text[i + 1] == close) {
                        value += close;
                        i += 2;
                        continue;
                    }
                    ++i;
                    closed = true;
                    break;
                }
                value += text[i++];
            }
            if (!closed) {
                throw DatabaseError("Malformed connection string: unterminated value of " + key);
            }
            const std::size_t next = text.find(';', i);
            if (!text::trim(text.substr(i, next == text.npos ? text.npos : next - i)).empty()) {
                throw DatabaseError("Malformed connection string: text after the quoted value of " +
                                    key);
            }
            pos = next == std::string_view::npos ? text.size() : next + 1;
        } else {
            const std::size_t next = text.find(';', i);
            value = std::string(
                text::trim(text.substr(i, next == std::string_view::npos ? text.npos : next - i)));
            pos = next == std::string_view::npos ? text.size() : next + 1;
        }
        if (!key.empty()) props.pairs_.emplace_back(std::move(key), std::move(value));
    }
    return props;
}

std::string ConnectionProperties::get(std::string_view key) const {
    for (const auto& [k, v] : pairs_) {
        if (text::iequals(k, key)) return v;
    }
    return {};
}

std::string ConnectionProperties::getAny(std::initializer_list<std::string_view> keys) const {
    for (std::string_view key : keys) {
        if (has(key)) return get(key);
    }
    return {};
}

bool ConnectionProperties::has(std::string_view key) const {
    for (const auto& [k, v] : pairs_) {
        if (text::iequals(k, key)) return true;
    }
    return false;
}

ConnectionTarget resolveConnectionString(std::string_view text, const ConnectionOptions& options) {
    const ConnectionProperties props = ConnectionProperties::parse(text);
    const std::string provider = props.get("Provider");
    if (text::iequals(provider, "SQLite") || text::iequals(provider, "QelSQLite")) {
        return sqliteTarget(props);
    }
    if (isSqlServerProvider(provider)) return sqlServerTarget(props, options);
    if (text::iequals(provider, "ODBC") || text::iequals(provider, "MSDASQL") ||
        startsWithIgnoringCase(provider, "MSDASQL.")) {
        return odbcTarget(props);
    }
    if (provider.empty()) throw DatabaseError("Connection string names no provider");
    throw DatabaseError("Unsupported database provider: " + provider);
}

std::string catalogPath(std::string_view folder, std::string_view catalog) {
    std::string file(catalog);
    if (!endsWithIgnoringCase(file, ".db")) file += ".db";
    return (std::filesystem::path(std::string(folder)) / file).string();
}

}  // namespace qel::db
