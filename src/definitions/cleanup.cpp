// Statements of the cleanup of the station database: its parameters, the
// row counts written to the log and the deletions of old exported data.

#include <string>

#include "definitions/statement_builders.h"

namespace qel::definitions::detail {
namespace {

constexpr std::string_view kStation = "CDFILIAL = :P_CDFILIAL AND CDCAIXA = :P_CDCAIXA";

// A sale whose refund still waits stays, and every row of it: the refund is
// sent joined to its sale and would otherwise wait for ever.
constexpr std::string_view kNoRefundWaits =
    " AND NOT EXISTS (SELECT 1 FROM ESTORNOVND E WHERE E.CDFILIAL = VENDA.CDFILIAL AND "
    "E.CDCAIXA = VENDA.CDCAIXA AND E.NRSEQVENDA = VENDA.NRSEQVENDA AND E.IDIMPESTVND <> 'S')";

// Rows of the station's exported sales entered before the cut-off. SQL Server
// matches the sale by its concatenated fixed-width key; SQLite compares the
// key columns as a row value.
std::string saleRuleSqlServer() {
    return "CDFILIAL = :P_CDFILIAL AND CDCAIXA = :P_CDCAIXA AND CDFILIAL+CDCAIXA+NRSEQVENDA IN "
           "(SELECT CDFILIAL+CDCAIXA+NRSEQVENDA FROM VENDA WHERE CDFILIAL = :P_CDFILIAL AND "
           "CDCAIXA = :P_CDCAIXA AND DTENTRVENDA < :P_DTABERCAIX AND IDIMPVENDA = 'S'" +
           std::string(kNoRefundWaits) + ")";
}
std::string saleRuleSqlite() {
    return "CDFILIAL = :P_CDFILIAL AND CDCAIXA = :P_CDCAIXA AND (CDFILIAL, CDCAIXA, NRSEQVENDA) IN "
           "(SELECT CDFILIAL, CDCAIXA, NRSEQVENDA FROM VENDA WHERE CDFILIAL = :P_CDFILIAL AND "
           "CDCAIXA = :P_CDCAIXA AND DTENTRVENDA < :P_DTABERCAIX AND IDIMPVENDA = 'S'" +
           std::string(kNoRefundWaits) + ")";
}

std::string deleteFrom(std::string_view table, std::string_view where) {
    return "DELETE FROM " + std::string(table) + " WHERE " + std::string(where);
}

Statement deletion(std::string_view name, std::string_view table, std::vector<Param> params,
                   std::string_view where) {
    return command(name, std::move(params), persist(deleteFrom(table, where)));
}

// A deletion of the rows of the station's old exported sales.
Statement saleRuleDeletion(std::string_view name, std::string_view table,
                           std::string_view extra = {}) {
    return command(name, {storeParam(), stationParam(), date("P_DTABERCAIX")},
                   persist(deleteFrom(table, saleRuleSqlServer() + std::string(extra))),
                   persist(deleteFrom(table, saleRuleSqlite() + std::string(extra))));
}

// A deletion of the station's rows dated before the cut-off.
Statement stationDeletion(std::string_view name, std::string_view table, std::string_view condition,
                          Param cutOff) {
    return deletion(name, table, {storeParam(), stationParam(), cutOff},
                    std::string(kStation) + " AND " + std::string(condition));
}

// Counters of order items ("ITPEDIDOQEL", "ITPEDIDOQELPAI", "ITPEDIDOQELREL"
// followed by store and order number) whose order item no longer exists.
std::string orderItemCounters(std::string_view prefix, std::string_view lengthRule, int storeAt,
                              std::string_view store) {
    const auto n = [](std::size_t value) { return std::to_string(value); };
    return "SELECT CDCONTADOR FROM NOVOCODIGO N WHERE SUBSTRING(N.CDCONTADOR,1," +
           n(prefix.size()) + ") = '" + std::string(prefix) + "' AND LEN(N.CDCONTADOR) " +
           std::string(lengthRule) +
           " AND NOT EXISTS (SELECT 1 FROM ITPEDIDOQEL C WHERE SUBSTRING(N.CDCONTADOR," +
           n(static_cast<std::size_t>(storeAt)) + ",4) = C.CDFILIAL AND SUBSTRING(N.CDCONTADOR," +
           n(static_cast<std::size_t>(storeAt + 4)) +
           ",10) = C.NRPEDIDOQEL AND C.CDFILIAL = :" + std::string(store) + ")";
}

std::string orderItemCounterDeletion(std::string_view deleteHead) {
    return std::string(deleteHead) + " WHERE CDCONTADOR IN (" +
           orderItemCounters("ITPEDIDOQEL", "<= 26", 12, "CDFILIAL_1") + " UNION " +
           orderItemCounters("ITPEDIDOQELPAI", "> 27", 15, "CDFILIAL_2") + " UNION " +
           orderItemCounters("ITPEDIDOQELREL", "> 27", 15, "CDFILIAL_3") +
           ") AND CDCONTADOR LIKE '%ITPEDIDOQEL%'";
}

// Command logs still waiting for export carry 'N'.
constexpr std::string_view kCommandLogSent = " AND (IDEXPREGISTRO <> 'N' OR IDEXPREGISTRO IS NULL)";

constexpr std::string_view kCommandCounters =
    " WHERE CDCONTADOR IN (SELECT CDCONTADOR FROM NOVOCODIGO N WHERE "
    "SUBSTRING(N.CDCONTADOR,1,12) = 'ITCOMANDAVEN' AND LEN(N.CDCONTADOR) > 16 AND NOT EXISTS "
    "(SELECT 1 FROM COMANDAVEN C WHERE SUBSTRING(N.CDCONTADOR,13,4) = C.CDFILIAL AND "
    "SUBSTRING(N.CDCONTADOR,17,10) = C.NRCOMANDA AND C.CDFILIAL = :P_CDFILIAL))";

// Tables whose row counts the cleanup writes to the log, in the log's order.
constexpr std::string_view kCountedTables[] = {"VENDA",       "PEDIDOQEL", "NOVOCODIGO",
                                               "LOGOPERQEL",  "LOGACESSO", "ITPEDIDOQEL",
                                               "ITHRCOMANDA", "ITEMVENDA"};

std::string sqliteTableCounts() {
    std::string sql;
    for (auto table : kCountedTables) {
        if (!sql.empty()) sql += "\nUNION ALL\n";
        sql += "SELECT '" + std::string(table) + "' AS NMTABELA, COUNT(*) AS QTTABELA FROM " +
               std::string(table);
    }
    return sql + "\nORDER BY 1 DESC";
}

void addInputs(std::vector<Statement>& out) {
    const std::vector<Param> station = {storeParam(), stationParam()};
    out.push_back(query("adqDadosLimpeza", station,
                        "SELECT IDFREQLIMPVENDA, NRDIASBXVNDMSDE, NRDIASVENDAMSDE, IDGERBKPMSDE, "
                        "NRDIASCONSMSDE\n"
                        "FROM CAIXA\n"
                        "WHERE CDFILIAL = :P_CDFILIAL\n"
                        "AND CDCAIXA = :P_CDCAIXA"));
    out.push_back(query("adqQuantDiasDLV", station,
                        "SELECT L.IDSINCQUANTDIA,L.CDLOJA FROM LOJA l\n"
                        "INNER JOIN CAIXA C ON C.CDFILIAL=L.CDFILIAL AND C.CDLOJA=L.CDLOJA\n"
                        "WHERE C.CDFILIAL=:P_CDFILIAL AND C.CDCAIXA=:P_CDCAIXA"));
    out.push_back(query("adqGetTurCaixa", {storeParam(), stationParam(), dateTime("P_DTABERCAIX")},
                        "SELECT *\n"
                        "FROM TURCAIXA\n"
                        "WHERE CDFILIAL = :P_CDFILIAL\n"
                        "AND CDCAIXA = :P_CDCAIXA\n"
                        "AND IDATUTURCAIXA = 'S'\n"
                        "AND DTABERCAIX < :P_DTABERCAIX\n"
                        "AND DTFECHCAIX IS NOT NULL"));
    out.push_back(query("adqGetReducaoZ", {storeParam(), stationParam(), dateTime("P_DTABERCAIX")},
                        "SELECT *\n"
                        "FROM REDUCAOZ\n"
                        "WHERE CDFILIAL = :P_CDFILIAL\n"
                        "AND CDCAIXA = :P_CDCAIXA\n"
                        "AND DTREDUCAOZ < :P_DTABERCAIX\n"
                        "AND IDIMPREDUCAO = 'S'"));
    out.push_back(query(
        "adqQuantidadeTabelas", {},
        "SELECT\n"
        "t.NAME AS NMTABELA, p.rows AS QTTABELA\n"
        "FROM sys.tables t\n"
        "INNER JOIN sys.indexes i ON t.OBJECT_ID = i.object_id\n"
        "INNER JOIN sys.partitions p ON i.object_id = p.OBJECT_ID AND i.index_id = p.index_id\n"
        "INNER JOIN sys.allocation_units a ON p.partition_id = a.container_id\n"
        "LEFT OUTER JOIN sys.schemas s ON t.schema_id = s.schema_id\n"
        "WHERE\n"
        "t.NAME NOT LIKE 'dt%' AND t.is_ms_shipped = 0 AND i.OBJECT_ID > 255\n"
        "AND t.NAME "
        "IN('ITEMVENDA','VENDA','ITHRCOMANDA','NOVOCODIGO','LOGACESSO','LOGOPERQEL','PEDIDOQEL',"
        "'ITPEDIDOQEL')\n"
        "GROUP BY\n"
        "t.Name, s.Name, p.Rows\n"
        "ORDER BY 1 DESC",
        persist(sqliteTableCounts())));
}

}  // namespace

void addCleanupStatements(std::vector<Statement>& out) {
    addInputs(out);
    const auto store = storeParam();
    const auto station = stationParam();

    // Every deletion below spares the rows the export still has to send
    // (their export flag says pending), so that no cut-off loses data.
    out.push_back(deletion(
        "acmDelItCmdLog", "ITCMD_LOG", {store, dateTime("P_DTLIMPEZA")},
        "CDFILIAL = :P_CDFILIAL AND DTHRINCOMVEN < :P_DTLIMPEZA" + std::string(kCommandLogSent)));
    out.push_back(deletion(
        "acmDelCmdLog", "CMD_LOG", {store, dateTime("P_DTLIMPEZA")},
        "CDFILIAL = :P_CDFILIAL AND DTHRREGISTRO < :P_DTLIMPEZA" + std::string(kCommandLogSent)));
    out.push_back(deletion("acmDelLogPedidoTaa", "LOGPEDIDOTAA", {store, date("P_DTABERCAIX")},
                           "CDFILIAL = :P_CDFILIAL AND DTHRPEDIDO < :P_DTABERCAIX"));
    out.push_back(deletion("acmDelWaiterOrders", "WAITERORDERS", {store},
                           "CDFILIAL = :P_CDFILIAL AND NOT EXISTS (SELECT 1 FROM VENDAREST WHERE "
                           "CDFILIAL = WAITERORDERS.CDFILIAL AND NRVENDAREST = "
                           "WAITERORDERS.NRVENDAREST)"));
    out.push_back(deletion("acmDelLogOperQel", "LOGOPERQEL", {store, dateTime("P_DTLIMPEZA")},
                           "CDFILIAL = :P_CDFILIAL AND DTHROPERQEL < :P_DTLIMPEZA AND "
                           "(IDIMPLOGOPERQEL = 'S' OR IDIMPLOGOPERQEL IS NULL)"));
    out.push_back(deletion("acmDelLogAcesso", "LOGACESSO", {dateTime("P_DTLIMPEZA")},
                           "DTHRACESSO < :P_DTLIMPEZA AND (IDIMPLOGACESSO = 'S' OR "
                           "IDIMPLOGACESSO IS NULL)"));
    out.push_back(deletion("acmDelPedidoQelTodos", "PEDIDOQEL", {store, dateTime("P_HOJE")},
                           "CDFILIAL = :P_CDFILIAL AND IDIMPPEDIDOQEL <> 'N' AND DTPEDIDOQEL < "
                           ":P_HOJE AND NOT (IDSTATUSPEDQEL = '4' AND IDIMPPEDIDOQEL <> 'S')"));
    out.push_back(
        deletion("acmDelInutilizaNfce", "INUTILIZANFCE", {store, station},
                 std::string(kStation) + " AND IDIMPINUTILIZA <> 'N' AND IDIMPINUTILIZA = 'S'"));
    out.push_back(command("acmDelNovoCodigo", {store},
                          persist("DELETE NOVOCODIGO" + std::string(kCommandCounters)),
                          persist("DELETE FROM NOVOCODIGO" + std::string(kCommandCounters))));
    out.push_back(command("acmDelNovoCodigoITPEDIDOQEL",
                          {text("CDFILIAL_1"), text("CDFILIAL_2"), text("CDFILIAL_3")},
                          persist(orderItemCounterDeletion("DELETE NOVOCODIGO")),
                          persist(orderItemCounterDeletion("DELETE FROM NOVOCODIGO"))));
    out.push_back(
        deletion("acmDelLogSincDlv", "LOGSINCDLV", {dateTime("P_QUANTDIAS"), text("P_CDLOJA")},
                 "DTHRABERMESA < :P_QUANTDIAS AND IDIMPLOG = 'S' AND CDLOJA = :P_CDLOJA"));

    for (auto [name, table] : {std::pair{"acmDelFORMPGTOREDZ", "FORMPGTOREDZ"},
                               std::pair{"acmDelTOTNFISCREDZ", "TOTNFISCREDZ"},
                               std::pair{"acmDelIMPOSTOREDZ", "IMPOSTOREDZ"}}) {
        // Only the rows of reductions that are exported or gone: a waiting
        // reduction is sent with them.
        const std::string t = table;
        out.push_back(stationDeletion(
            name, table,
            persist("DTREDUCAOZ < :P_DTABERCAIX AND NOT EXISTS (SELECT 1 FROM REDUCAOZ R WHERE "
                    "R.CDFILIAL = " +
                    t + ".CDFILIAL AND R.CDCAIXA = " + t + ".CDCAIXA AND R.DTREDUCAOZ = " + t +
                    ".DTREDUCAOZ AND R.NRECFREDZ = " + t + ".NRECFREDZ AND R.IDIMPREDUCAO <> 'S')"),
            date("P_DTABERCAIX")));
    }
    out.push_back(stationDeletion("acmDelReducaoZ", "REDUCAOZ",
                                  "DTREDUCAOZ < :P_DTABERCAIX AND IDIMPREDUCAO = 'S'",
                                  date("P_DTABERCAIX")));

    // Customer movements: of the store's old exported sales, without a sale,
    // and of sales that no longer exist.
    out.push_back(command(
        "acmDelMoviClie", {store, date("P_DTABERCAIX")},
        persist("DELETE FROM MOVICLIE WHERE CDFILIAL = :P_CDFILIAL AND CDFILIAL+CDCAIXA+NRSEQVENDA "
                "IN (SELECT CDFILIAL+CDCAIXA+NRSEQVENDA FROM VENDA WHERE CDFILIAL = :P_CDFILIAL "
                "AND DTENTRVENDA < :P_DTABERCAIX AND IDIMPVENDA = 'S'" +
                std::string(kNoRefundWaits) + ")"),
        persist("DELETE FROM MOVICLIE WHERE CDFILIAL = :P_CDFILIAL AND (CDFILIAL, CDCAIXA, "
                "NRSEQVENDA) IN (SELECT CDFILIAL, CDCAIXA, NRSEQVENDA FROM VENDA WHERE CDFILIAL = "
                ":P_CDFILIAL AND DTENTRVENDA < :P_DTABERCAIX AND IDIMPVENDA = 'S'" +
                std::string(kNoRefundWaits) + ")")));
    out.push_back(deletion("acmDelMoviClieCredito", "MOVICLIE", {date("P_DTABERCAIX")},
                           "CDCAIXA IS NULL AND NRSEQVENDA IS NULL AND DTMOVCLI < :P_DTABERCAIX"));
    out.push_back(deletion("acmDelMoviClieAntiga", "MOVICLIE", {date("P_DTABERCAIX")},
                           "DTMOVCLI < :P_DTABERCAIX AND NOT EXISTS(SELECT 1 FROM VENDA WHERE "
                           "CDFILIAL = MOVICLIE.CDFILIAL AND CDCAIXA = MOVICLIE.CDCAIXA AND "
                           "NRSEQVENDA = MOVICLIE.NRSEQVENDA)"));

    out.push_back(saleRuleDeletion("acmDelItFidelidade", "ITFIDELIDADE"));
    // A refund has its own flag and is sent even after its sale was.
    out.push_back(saleRuleDeletion("acmDelEstornoVnd", "ESTORNOVND",
                                   " AND (IDIMPESTVND = 'S' OR IDIMPESTVND IS NULL)"));
    out.push_back(saleRuleDeletion("acmDelMovBeneficioCons", "MOVBENEFICIOCONS"));

    // Cash movements opened before the cut-off of sales that are exported or
    // no longer on the station are marked exported, so the next statement
    // removes them.
    const std::string movementsToMark =
        "FROM MOVCAIXA M\n"
        "WHERE IDIMPMOVCAIXA <> 'S'\n"
        "AND (EXISTS (SELECT 1 FROM VENDA V WHERE V.CDFILIAL = M.CDFILIAL AND V.CDCAIXA = "
        "M.CDCAIXA AND V.NRSEQVENDA = M.NRSEQVENDA AND V.CDFILIAL = :P_CDFILIAL AND V.CDCAIXA = "
        ":P_CDCAIXA AND V.IDIMPVENDA = 'S')\n"
        "OR NOT EXISTS (SELECT 1 FROM VENDA V WHERE V.CDFILIAL = M.CDFILIAL AND V.CDCAIXA = "
        "M.CDCAIXA AND V.NRSEQVENDA = M.NRSEQVENDA AND V.CDFILIAL = :P_CDFILIAL AND V.CDCAIXA = "
        ":P_CDCAIXA))\n"
        "AND M.DTABERCAIX < :P_DTABERCAIX\n"
        "AND M.CDFILIAL = :P_CDFILIAL AND M.CDCAIXA = :P_CDCAIXA)";
    out.push_back(command("acmUpdMovCaixaDel", {store, station, date("P_DTABERCAIX")},
                          persist("UPDATE MOVCAIXA\n"
                                  "SET IDIMPMOVCAIXA = 'S'\n"
                                  "WHERE CDFILIAL+CDCAIXA+NRSEQVENDA IN (SELECT "
                                  "CDFILIAL+CDCAIXA+NRSEQVENDA\n" +
                                  movementsToMark),
                          persist("UPDATE MOVCAIXA\n"
                                  "SET IDIMPMOVCAIXA = 'S'\n"
                                  "WHERE (CDFILIAL, CDCAIXA, NRSEQVENDA) IN (SELECT "
                                  "M.CDFILIAL, M.CDCAIXA, M.NRSEQVENDA\n" +
                                  movementsToMark)));
    // A movement goes only without its sale or with it.
    out.push_back(stationDeletion(
        "acmDelMovCaixa", "MOVCAIXA",
        "DTABERCAIX < :P_DTABERCAIX AND IDIMPMOVCAIXA = 'S' AND NOT EXISTS (SELECT 1 FROM VENDA V "
        "WHERE V.CDFILIAL = MOVCAIXA.CDFILIAL AND V.CDCAIXA = MOVCAIXA.CDCAIXA AND V.NRSEQVENDA = "
        "MOVCAIXA.NRSEQVENDA AND (V.DTENTRVENDA >= :P_DTABERCAIX OR V.IDIMPVENDA <> 'S' OR "
        "V.IDIMPVENDA IS NULL OR EXISTS (SELECT 1 FROM ESTORNOVND E WHERE E.CDFILIAL = "
        "V.CDFILIAL AND E.CDCAIXA = V.CDCAIXA AND E.NRSEQVENDA = V.NRSEQVENDA AND "
        "E.IDIMPESTVND <> 'S')))",
        date("P_DTABERCAIX")));

    out.push_back(saleRuleDeletion("acmDelObsItemVendaEst", "OBSITEMVENDAEST"));
    out.push_back(saleRuleDeletion("acmDelObsItemVenda", "OBSITEMVENDA"));
    out.push_back(saleRuleDeletion("acmDelItemVendaEst", "ITEMVENDAEST"));
    out.push_back(saleRuleDeletion("acmDelItVendaCan", "ITVENDACAN"));
    out.push_back(saleRuleDeletion("acmDelItVendaDes", "ITVENDADES"));
    out.push_back(saleRuleDeletion("acmDelItVendaImpos", "ITVENDAIMPOS"));
    out.push_back(saleRuleDeletion("acmDelItemVenda", "ITEMVENDA"));
    // Order hours of a sale still waiting go out with it, whatever their age.
    out.push_back(stationDeletion(
        "acmDelItHrComanda", "ITHRCOMANDA",
        "DTHRPEDIDO < :P_DTHRPEDIDO AND NOT EXISTS (SELECT 1 FROM VENDA V WHERE V.CDFILIAL = "
        "ITHRCOMANDA.CDFILIAL AND V.CDCAIXA = ITHRCOMANDA.CDCAIXA AND V.NRSEQVENDA = "
        "ITHRCOMANDA.NRSEQVENDA AND V.IDIMPVENDA <> 'S')",
        date("P_DTHRPEDIDO")));
    out.push_back(saleRuleDeletion("acmDelArqXmlNFCeSat", "ARQXMLNFCESAT"));
    out.push_back(saleRuleDeletion("acmDelLogNfce", "LOGNFCE", " AND IDIMPLOGNFCE = 'S'"));
    out.push_back(stationDeletion(
        "acmDelVenda", "VENDA",
        persist("DTENTRVENDA < :P_DTABERCAIX AND IDIMPVENDA = 'S'" + std::string(kNoRefundWaits)),
        date("P_DTABERCAIX")));
    out.push_back(stationDeletion(
        "acmDelTurCaixa", "TURCAIXA",
        "DTABERCAIX < :P_DTABERCAIX AND IDATUTURCAIXA = 'S' AND DTFECHCAIX IS NOT NULL",
        date("P_DTABERCAIX")));
    out.push_back(deletion("acmDelTotalDiaCaixa", "TOTALDIACAIXA", {store, dateTime("P_DTTOTAL")},
                           "CDFILIAL = :P_CDFILIAL AND DTTOTAL < :P_DTTOTAL AND "
                           "(IDIMPTOTDIACAIXA <> 'N' OR IDIMPTOTDIACAIXA IS NULL)"));
    out.push_back(deletion("acmDelConsumidor", "CONSUMIDOR", {dateTime("P_DTATUCONSONLINE")},
                           "IDATUCONSONLINE = 'S' AND DTATUCONSONLINE < :P_DTATUCONSONLINE AND "
                           "NOT EXISTS(SELECT 1 FROM VENDAREST WHERE CDCLIENTE = "
                           "CONSUMIDOR.CDCLIENTE AND CDCONSUMIDOR = CONSUMIDOR.CDCONSUMIDOR) AND "
                           "(IDATUCONSUMI NOT IN ('I','A') OR IDATUCONSUMI IS NULL)"));
}

}  // namespace qel::definitions::detail
