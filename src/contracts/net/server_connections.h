#pragma once

#include <functional>
#include <string_view>

#include "contracts/net/net_connection.h"
#include "core/variant.h"
#include "platform/platform.h"

namespace qel::net {

// Values beside the server address (`sIPServer`) under the agent's registry
// key (the configuration file on POSIX). All optional.
inline constexpr std::string_view kServerScheme = "ServerScheme";  // "http" (default) or "https"
inline constexpr std::string_view kServerCAFile = "ServerCAFile";  // PEM file of trusted CAs
inline constexpr std::string_view kServerCredential = "ServerCredential";          // bearer token
inline constexpr std::string_view kServerConnectTimeout = "ServerConnectTimeout";  // seconds, 10
inline constexpr std::string_view kServerReadTimeout = "ServerReadTimeout";        // seconds, 300
inline constexpr std::string_view kServerCompression = "ServerCompression";  // "gzip" or "none"

// The connection settings configured for this machine. Throws ConfigError
// naming the value that is not valid.
ConnectionSettings readConnectionSettings(const platform::Platform& platform);

// The data module's three application-server connections with their event
// handlers, the server address lookup and the export connection's
// open/close routine.
class ServerConnections {
  public:
    using LogSink = std::function<void(std::string_view)>;

    ServerConnections(const platform::Platform& platform, LogSink log);
    ServerConnections(const ServerConnections&) = delete;
    ServerConnections& operator=(const ServerConnections&) = delete;

    TNetConnection netInsereServidor{"Exp.rdmInsereServidor"};
    TNetConnection netAjuste{"AJU.rdmAjusteDiferencas"};
    TNetConnection netAtualizaPontuacao{"FID.rdmAtualizaPontuacao"};

    // The server address read afresh from the registry value: the array
    // [host, port] (port 211 when the value has no ":"), both elements
    // unassigned when the value is missing or blank, and the empty text when
    // the text after the first ":" is not an integer.
    Variant GetEnderecoServidor() const;

    // Set their own connection's Host and Port from GetEnderecoServidor and
    // its settings from the registry; throw when the address is unusable.
    void netInsereServidorBeforeConnect(TNetConnection& sender);
    void netAjusteBeforeConnect(TNetConnection& sender);
    void netAtualizaPontuacaoBeforeConnect(TNetConnection& sender);

    // Writes "netInsereServidor foi desconectado do servidor.".
    void netInsereServidorBeforeDisconnect(TNetConnection& sender);

    // Opens (connect true) or closes the export connection and answers
    // whether it is connected afterwards. A failed open is closed again and
    // reported as "ERRO Except EnviaVendas: " + message + " - " + the error.
    bool ConectaServidor(bool connect, std::string_view message);

  private:
    void configure(TNetConnection& target) const;

    const platform::Platform& platform_;
    LogSink log_;
};

}  // namespace qel::net
