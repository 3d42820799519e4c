// Rows waiting to be exported, by the export flags of each table.
#include "status/station_status.h"

namespace qel::status {
namespace {

struct WatchedTable {
    const char* table;
    const char* waiting;  // the condition of a row still to be exported
    bool station;         // has CDFILIAL and CDCAIXA
};

// The tables the server acknowledges row by row, with the condition their
// selection uses; rows of a sale (items, taxes, payments) follow their sale.
constexpr WatchedTable kWatched[] = {
    {"CONSUMIDOR", "IDATUCONSUMI IN ('I','A')", false},
    {"OPERADOR", "IDATUOPERADOR IN ('I','A')", false},
    {"LOGOPERQEL", "IDIMPLOGOPERQEL <> 'S'", true},
    {"LOGACESSO", "IDIMPLOGACESSO <> 'S'", false},
    {"CONTROLSENHA", "IDATUCTRLSENHA IN ('I','A')", false},
    {"INUTILIZANFCE", "IDIMPINUTILIZA <> 'S'", true},
    {"PEDIDOQEL", "IDIMPPEDIDOQEL <> 'S'", false},
    {"ARQCAT52", "IDIMPTCAT52 <> 'S'", true},
    {"REDUCAOZ", "IDIMPREDUCAO <> 'S'", true},
    {"TURCAIXA", "IDATUTURCAIXA IN ('I','A')", true},
    {"VENDA", "IDIMPVENDA IN ('I','A') AND IDSITUVENDA <> 'P'", true},
    {"MOVCAIXA", "IDIMPMOVCAIXA <> 'S'", true},
    {"EXTRATOCONS", "IDIMPEXTRATO <> 'S'", true},
    {"ESTORNOVND", "IDIMPESTVND <> 'S'", true},
    {"ITFIDELIDADE", "IDIMPTFIDEL <> 'S'", true},
    {"MOVBENEFICIOCTR", "IDIMPTMOVCTR = 'I'", false},
    {"TOTALDIACAIXA", "IDIMPTOTDIACAIXA = 'N'", false},
    {"ENDECONS", "IDATUENDECONS = 'N'", false},
    {"LOGNFCE", "IDIMPLOGNFCE <> 'S'", true},
    {"CMD_LOG", "IDEXPREGISTRO = 'N'", false},
    {"ITCMD_LOG", "IDEXPREGISTRO = 'N'", false},
};

}  // namespace

StationBacklog readBacklog(db::Connection& station, const std::string& store,
                           const std::string& stationCode) {
    const db::Params codes{{"P_CDFILIAL", Variant(store)}, {"P_CDCAIXA", Variant(stationCode)}};
    const std::string ofStation = " AND CDFILIAL = :P_CDFILIAL AND CDCAIXA = :P_CDCAIXA";
    StationBacklog backlog;
    for (const WatchedTable& t : kWatched) {
        std::string sql = std::string("SELECT COUNT(*) FROM ") + t.table + " WHERE " + t.waiting;
        if (t.station) sql += ofStation;
        const Dataset d = station.query(sql, t.station ? codes : db::Params{});
        backlog.tables.push_back({t.table, d.field(std::size_t{0}).asInteger()});
        if (std::string_view(t.table) == "VENDA") backlog.waitingSales = backlog.tables.back().rows;
    }
    const Dataset open = station.query(
        "SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA IN ('I','A') AND IDSITUVENDA = 'P'" +
            ofStation,
        codes);
    backlog.openSales = open.field(std::size_t{0}).asInteger();
    const Dataset oldest = station.query(
        "SELECT MIN(DTABERTUR) FROM VENDA WHERE IDIMPVENDA IN ('I','A') AND IDSITUVENDA <> 'P'" +
            ofStation,
        codes);
    if (!oldest.field(std::size_t{0}).isNull()) {
        backlog.oldestWaitingSale = oldest.field(std::size_t{0}).asDateTime();
    }
    return backlog;
}

}  // namespace qel::status
