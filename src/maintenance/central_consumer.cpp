// Central consumer check: where the store keeps its consumers' passwords,
// the consumer selection that reads them, and the central connection.

#include "contracts/support_library.h"
#include "core/error.h"
#include "core/text.h"
#include "definitions/central_consumers.h"
#include "definitions/statement.h"
#include "export/data_module.h"

namespace qel::agent {
namespace {

// A database or schema name read from PARAVEND goes into a statement and a
// connection string, so only plain identifiers are accepted: a letter or
// '_' first, then letters, digits, '_', '@', '#', '$'; at most 128.
bool isPlainIdentifier(std::string_view name) {
    if (name.empty() || name.size() > 128) return false;
    auto letter = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    };
    if (!letter(name.front())) return false;
    for (char c : name) {
        if (!letter(c) && !(c >= '0' && c <= '9') && c != '@' && c != '#' && c != '$') {
            return false;
        }
    }
    return true;
}

// Finds `key` without regard to case; npos when absent.
std::size_t findKey(std::string_view s, std::string_view key) {
    const std::string upper = text::upper(s);
    return upper.find(text::upper(key));
}

}  // namespace

void TdtmExportaVenda::VerificaSenhaConsCentral(const std::string& CDFILIAL) {
    try {
        const Dataset paravend = adcCaixa.query(definitions::statement("adqBancoCentral"),
                                                {{"P_CDFILIAL", Variant(CDFILIAL)}});
        CentralConsumerConfig loaded;
        loaded.flag.clear();
        if (!paravend.isEmpty()) {
            loaded.databaseName = paravend.field("NMSQLNAMEDB").asString();
            loaded.schemaName = paravend.field("NMSQLSCHEMADB").asString();
            loaded.flag = paravend.field("IDSENCONSCENTRAL").asString();
        }
        if (loaded.isCentral()) {
            if (!isPlainIdentifier(loaded.databaseName)) {
                throw ConfigError("Nome de banco central inválido em PARAVEND.NMSQLNAMEDB: '" +
                                  loaded.databaseName + "'");
            }
            if (!loaded.schemaName.empty() && !isPlainIdentifier(loaded.schemaName)) {
                throw ConfigError("Nome de esquema central inválido em PARAVEND.NMSQLSCHEMADB: '" +
                                  loaded.schemaName + "'");
            }
        }
        central = std::move(loaded);
    } catch (const std::exception& e) {
        GravaLog(std::string("ERRO Except VerificaSenhaConsCentral: ") + e.what());
        central = CentralConsumerConfig{};  // names empty, flag "N": local consumers
    }
}

TdtmExportaVenda::CentralConsumerStatement TdtmExportaVenda::adqCliCONSCENTRALBeforeOpen() const {
    // The names were accepted as plain identifiers; they are still quoted as
    // identifiers, and the store code travels as a parameter, never as text
    // of the statement.
    std::string sql;
    if (adcCaixa.dialect() == db::Dialect::SqlServer) {
        sql = definitions::centralConsumerSqlServer(
            "[" + central.databaseName + "]",
            central.schemaName.empty() ? std::string() : "[" + central.schemaName + "]");
    } else {
        // The embedded database attaches the central file under its catalogue
        // name; it has no schemas.
        sql = definitions::centralConsumerSqlite("\"" + central.databaseName + "\"");
    }
    return {std::move(sql), db::Params{{"P_CDFILIAL", Variant(run.CDFILIAL)}}};
}

void TdtmExportaVenda::adcBancoCentralBeforeConnect(db::Connection& connection) {
    const std::string s = contracts::GetStringConexQel(platform(), "");
    const std::size_t catalog = findKey(s, "Catalog=");
    const std::size_t source = findKey(s, "Data Source=");
    // Without both keys there is no server to reach the central database on:
    // refuse rather than guess.
    if (catalog == std::string::npos || source == std::string::npos || source < catalog) {
        throw ConfigError(
            "A string de conexão do caixa não tem \"Catalog=\" seguido de \"Data Source=\"");
    }
    const std::string head = s.substr(0, catalog + std::string_view("Catalog=").size());
    const std::string tail = s.substr(source);
    connection.setConnectionString(head + central.databaseName + ";" + tail);
}

}  // namespace qel::agent
