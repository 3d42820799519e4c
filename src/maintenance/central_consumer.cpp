// Central consumer check: where the store keeps its consumers' passwords,
// the consumer selection that reads them, and the central connection.

#include <optional>

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

// Where a key of a connection text stands: the start of the name part that
// matched, and the end of its '='.
struct KeyPlace {
    std::size_t name = 0;
    std::size_t afterEquals = 0;
};

// The end of the value that starts after `equals`: the next ';', or, for a
// value in double or single quotes, the ';' after its closing quote, so that
// a quoted value may hold ';' and '=' (as the connection string is parsed).
std::size_t valueEnd(std::string_view s, std::size_t equals) {
    const std::size_t v = s.find_first_not_of(' ', equals + 1);
    if (v != std::string_view::npos && (s[v] == '"' || s[v] == '\'')) {
        const std::size_t close = s.find(s[v], v + 1);
        return close == std::string_view::npos ? close : s.find(';', close);
    }
    return s.find(';', equals + 1);
}

// The first key of "name=value;name=value..." whose name, trailing blanks
// aside and without regard to case, ends with `suffix` ("Catalog" matches
// "Initial Catalog"). Only names count: the same text inside a value (a
// folder named "Catalog=x", a password) is no key.
std::optional<KeyPlace> findKey(std::string_view s, std::string_view suffix) {
    std::size_t start = 0;
    while (start < s.size()) {
        const std::size_t equals = s.find('=', start);
        const std::size_t semicolon = s.find(';', start);
        if (equals == std::string_view::npos) break;
        if (semicolon < equals) {  // a part without a value
            start = semicolon + 1;
            continue;
        }
        std::size_t nameEnd = equals;
        while (nameEnd > start && s[nameEnd - 1] == ' ') --nameEnd;
        if (nameEnd - start >= suffix.size() &&
            text::iequals(s.substr(nameEnd - suffix.size(), suffix.size()), suffix)) {
            return KeyPlace{nameEnd - suffix.size(), equals + 1};
        }
        const std::size_t end = valueEnd(s, equals);
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return std::nullopt;
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
    const auto catalog = findKey(s, "Catalog");
    const auto source = findKey(s, "Data Source");
    // Without both keys there is no server to reach the central database on:
    // refuse rather than guess.
    if (!catalog || !source || source->name < catalog->name) {
        throw ConfigError(
            "A string de conexão do caixa não tem \"Catalog=\" seguido de \"Data Source=\"");
    }
    const std::string head = s.substr(0, catalog->afterEquals);
    const std::string tail = s.substr(source->name);
    connection.setConnectionString(head + central.databaseName + ";" + tail);
}

}  // namespace qel::agent
