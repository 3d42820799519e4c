// Statements of the central consumer passwords: the store's configuration,
// the consumer selection through the central table and its acknowledgement on
// the central database.

#include "definitions/central_consumers.h"

#include "definitions/statement_builders.h"

namespace qel::definitions {
namespace {

std::string fill(std::string_view text, std::string_view placeholder, std::string_view value) {
    std::string result(text);
    for (auto pos = result.find(placeholder); pos != std::string::npos;
         pos = result.find(placeholder, pos + value.size())) {
        result.replace(pos, placeholder.size(), value);
    }
    return result;
}

}  // namespace

std::string centralConsumerSqlServer(std::string_view database, std::string_view schema) {
    const auto& text = statement("adqCliCONSCENTRAL").sqlServer;
    return fill(fill(text, kCentralDatabasePlaceholder, database), kCentralSchemaPlaceholder,
                schema);
}

std::string centralConsumerSqlite(std::string_view database) {
    return fill(statement("adqCliCONSCENTRAL").sqlite, kCentralDatabasePlaceholder, database);
}

namespace detail {

void addCentralStatements(std::vector<Statement>& out) {
    out.push_back(query("adqBancoCentral", {storeParam()},
                        "SELECT NMSQLNAMEDB, NMSQLSCHEMADB, IDSENCONSCENTRAL\n"
                        "FROM PARAVEND\n"
                        "WHERE CDFILIAL = :P_CDFILIAL"));
    // One line, as the text is assembled at each opening.
    out.push_back(query("adqCliCONSCENTRAL", {storeParam()},
                        "SELECT CO.*, SE.CDSENHACONS AS CDSENHACENTRAL  FROM CONSUMIDOR CO, "
                        "CLIENFILIAL CL, {CENTRAL_DATABASE}.{CENTRAL_SCHEMA}.SENHACONS SE"
                        " WHERE CL.CDFILIAL     = :P_CDFILIAL"
                        "   AND CO.CDCLIENTE    = CL.CDCLIENTE"
                        "   AND CO.CDCLIENTE    = SE.CDCLIENTE"
                        "   AND CO.CDCONSUMIDOR = SE.CDCONSUMIDOR"
                        "   AND CO.IDATUCONSUMI IN ('I','A')",
                        "SELECT CO.*, SE.CDSENHACONS AS CDSENHACENTRAL  FROM CONSUMIDOR CO, "
                        "CLIENFILIAL CL, {CENTRAL_DATABASE}.SENHACONS SE"
                        " WHERE CL.CDFILIAL     = :P_CDFILIAL"
                        "   AND CO.CDCLIENTE    = CL.CDCLIENTE"
                        "   AND CO.CDCLIENTE    = SE.CDCLIENTE"
                        "   AND CO.CDCONSUMIDOR = SE.CDCONSUMIDOR"
                        "   AND CO.IDATUCONSUMI IN ('I','A')"));
    // Runs on the central database's own connection.
    out.push_back(command("acmUpdConsCentral",
                          {text("P_CDCLIENTE", 21), text("P_CDCONSUMIDOR", 21)},
                          "UPDATE SENHACONS\n"
                          "SET IDATUCONSUMI = 'S'\n"
                          "WHERE CDCLIENTE = :P_CDCLIENTE\n"
                          "AND CDCONSUMIDOR = :P_CDCONSUMIDOR"));
}

}  // namespace detail
}  // namespace qel::definitions
