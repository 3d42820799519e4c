#include "contracts/net/server_connections.h"

#include <charconv>
#include <cstdint>
#include <limits>

#include "contracts/support_library.h"
#include "core/error.h"
#include "core/text.h"

namespace qel::net {
namespace {

constexpr int kDefaultPort = 211;

// The registry's integer reading: leading blanks and a sign allowed, then
// digits to the end, within 32 bits.
bool parsePort(std::string_view s, std::int64_t& out) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return false;
    std::int32_t v = 0;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return false;
    out = v;
    return true;
}

std::chrono::milliseconds seconds(const platform::Platform& platform, std::string_view name,
                                  int fallback) {
    const auto value = platform.readMachineString(contracts::kOrbelKey, name);
    if (!value || text::trim(*value).empty()) return std::chrono::seconds(fallback);
    const std::string_view t = text::trim(*value);
    int v = 0;
    const auto r = std::from_chars(t.data(), t.data() + t.size(), v);
    if (r.ec != std::errc() || r.ptr != t.data() + t.size() || v <= 0 || v > 86400) {
        throw ConfigError("Registry value " + std::string(name) +
                          " must be a number of seconds (1 to 86400), not '" + *value + "'");
    }
    return std::chrono::seconds(v);
}

}  // namespace

ConnectionSettings readConnectionSettings(const platform::Platform& platform) {
    auto read = [&](std::string_view name) {
        const auto value = platform.readMachineString(contracts::kOrbelKey, name);
        return value ? std::string(text::trim(*value)) : std::string();
    };
    ConnectionSettings s;
    const std::string scheme = text::upper(read(kServerScheme));
    if (scheme == "HTTPS") {
        s.https = true;
    } else if (!scheme.empty() && scheme != "HTTP") {
        throw ConfigError("Registry value ServerScheme must be http or https, not '" + scheme +
                          "'");
    }
    s.caFile = read(kServerCAFile);
    s.credential = read(kServerCredential);
    s.connectTimeout = seconds(platform, kServerConnectTimeout, 10);
    s.readTimeout = seconds(platform, kServerReadTimeout, 300);
    const std::string compression = text::upper(read(kServerCompression));
    if (compression == "NONE") {
        s.compress = false;
    } else if (!compression.empty() && compression != "GZIP") {
        throw ConfigError("Registry value ServerCompression must be gzip or none, not '" +
                          compression + "'");
    }
    return s;
}

ServerConnections::ServerConnections(const platform::Platform& platform, LogSink log)
    : platform_(platform), log_(std::move(log)) {
    netInsereServidor.BeforeConnect = [this](TNetConnection& c) {
        netInsereServidorBeforeConnect(c);
    };
    netAjuste.BeforeConnect = [this](TNetConnection& c) { netAjusteBeforeConnect(c); };
    netAtualizaPontuacao.BeforeConnect = [this](TNetConnection& c) {
        netAtualizaPontuacaoBeforeConnect(c);
    };
    netInsereServidor.BeforeDisconnect = [this](TNetConnection& c) {
        netInsereServidorBeforeDisconnect(c);
    };
}

Variant ServerConnections::GetEnderecoServidor() const {
    try {
        Variant address = Variant::array(2);
        const std::string value =
            platform_.readMachineString(contracts::kOrbelKey, contracts::sIPServer).value_or("");
        if (text::trim(value).empty()) return address;
        VariantArray& parts = address.asArray();
        const auto colon = value.find(':');
        if (colon != std::string::npos) {
            std::int64_t port = 0;
            if (!parsePort(std::string_view(value).substr(colon + 1), port)) return Variant("");
            parts[0] = Variant(value.substr(0, colon));
            parts[1] = Variant(port);
        } else {
            parts[0] = Variant(value);
            parts[1] = Variant(kDefaultPort);
        }
        return address;
    } catch (const std::exception&) {
        return Variant("");
    }
}

void ServerConnections::configure(TNetConnection& target) const {
    // A fault of the configuration itself is reported as it is (it names the
    // file); GetEnderecoServidor would only answer with the empty text.
    platform_.readMachineString(contracts::kOrbelKey, contracts::sIPServer);
    const Variant address = GetEnderecoServidor();
    if (!address.isArray() || address.asArray().size() != 2) {
        throw ConfigError("Invalid application server address in the registry value " +
                          std::string(contracts::sIPServer));
    }
    const VariantArray& parts = address.asArray();
    target.Host = parts[0].asString();
    target.Port = parts[1].isEmpty() ? 0 : static_cast<int>(parts[1].asInteger());
    target.Settings = readConnectionSettings(platform_);
}

void ServerConnections::netInsereServidorBeforeConnect(TNetConnection&) {
    configure(netInsereServidor);
}

void ServerConnections::netAjusteBeforeConnect(TNetConnection&) {
    configure(netAjuste);
}

void ServerConnections::netAtualizaPontuacaoBeforeConnect(TNetConnection&) {
    configure(netAtualizaPontuacao);
}

void ServerConnections::netInsereServidorBeforeDisconnect(TNetConnection&) {
    log_("netInsereServidor foi desconectado do servidor.");
}

bool ServerConnections::ConectaServidor(bool connect, std::string_view message) {
    if (connect) {
        try {
            netInsereServidor.open();
        } catch (const std::exception& e) {
            netInsereServidor.close();
            log_("ERRO Except EnviaVendas: " + std::string(message) + " - " + e.what());
            return false;
        }
    } else {
        netInsereServidor.close();
    }
    return netInsereServidor.connected();
}

}  // namespace qel::net
