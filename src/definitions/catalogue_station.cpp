// Selections of the export catalogue that are not tied to a sale: station
// tables, shifts, fiscal reductions, orders, commands and snapshots.

#include <string>

#include "definitions/statement_builders.h"

namespace qel::definitions::detail {
namespace {

// The day totals of the days that hold a sale still to be exported; `waiting`
// is the condition on IDIMPVENDA.
std::string_view relVendas(std::string_view waiting) {
    return persist(
        "SELECT CDFILIAL, CDCAIXA, DTENTRVENDA, COUNT(*) AS QTVENDASMSDE, SUM(VRTOTVENDA) "
        "VRTOTMSDE\n"
        "  FROM VENDA\n"
        " WHERE CDFILIAL = :P_CDFILIAL\n"
        "   AND CDCAIXA  = :P_CDCAIXA\n"
        "   AND DTENTRVENDA IN (SELECT DTENTRVENDA\n"
        "                         FROM VENDA\n"
        "                        WHERE CDFILIAL = :P_CDFILIAL\n"
        "                          AND CDCAIXA  = :P_CDCAIXA\n"
        "                          AND " +
        std::string(waiting) +
        ")\n"
        "GROUP BY CDFILIAL, CDCAIXA, DTENTRVENDA");
}

// Rows of a child table of a fiscal reduction that is still to be exported.
Statement reductionChild(std::string_view name, std::string_view table) {
    std::string sql = "SELECT I.*\n";
    sql += "  FROM " + std::string(table) + " I, REDUCAOZ R\n";
    sql +=
        " WHERE R.CDFILIAL   = :P_CDFILIAL\n"
        "   AND R.CDCAIXA    = :P_CDCAIXA\n"
        "   AND I.CDFILIAL   = R.CDFILIAL\n"
        "   AND I.CDCAIXA    = R.CDCAIXA\n"
        "   AND I.DTREDUCAOZ = R.DTREDUCAOZ\n"
        "   AND I.NRECFREDZ  = R.NRECFREDZ\n"
        "   AND R.IDIMPREDUCAO <> 'S'\n"
        "ORDER BY R.DTREDUCAOZ";
    return query(name, {storeParam(), stationParam()}, persist(std::move(sql)));
}

// Conditions of an order that is ready to be sent: finished ('4'), not yet
// exported and untouched for at least thirty minute boundaries.
constexpr std::string_view kReadyOrder =
    "   AND PE.IDSTATUSPEDQEL = '4'\n"
    "   AND PE.IDIMPPEDIDOQEL <> 'S'\n"
    "   AND (DATEDIFF(MI,PE.DTULTATU,GETDATE()) >= 30 OR PE.DTULTATU IS NULL)";

// Rows of a command log not yet exported, by the day of their own date column.
Statement commandLog(std::string_view name, std::string_view table, std::string_view dateColumn) {
    std::string sql = "SELECT *\n  FROM " + std::string(table) + "\n";
    sql += " WHERE IDEXPREGISTRO = 'N'\n";
    sql += "   AND ((:P_DTMOVIM = 'T') OR (CONVERT(VARCHAR," + std::string(dateColumn) +
           ",103) = :P_DTMOVIM))";
    return query(name, {text("P_DTMOVIM")}, persist(std::move(sql)));
}

}  // namespace

void addStationSelections(std::vector<Statement>& out) {
    out.push_back(query("adqCliCONSUMIDOR", {storeParam()},
                        "SELECT CO.*\n"
                        "  FROM CONSUMIDOR CO, CLIENFILIAL CL\n"
                        " WHERE CL.CDFILIAL  = :P_CDFILIAL\n"
                        "   AND CO.CDCLIENTE = CL.CDCLIENTE\n"
                        "   AND IDATUCONSUMI IN ('I','A')"));
    out.push_back(query("adqCliOperador", {},
                        "SELECT *\n"
                        "  FROM OPERADOR\n"
                        " WHERE IDATUOPERADOR IN ('I','A')"));
    out.push_back(query("adqCliLOGACESSO", {},
                        "SELECT *\n"
                        "  FROM LOGACESSO\n"
                        " WHERE IDIMPLOGACESSO <> 'S'"));
    out.push_back(query("adqCliControlSenha", {},
                        "SELECT *\n"
                        "  FROM CONTROLSENHA\n"
                        " WHERE IDATUCTRLSENHA IN ('I','A')"));
    out.push_back(query("adqCliINUTILIZANFCE", {storeParam(), stationParam()},
                        "SELECT I.*\n"
                        "  FROM INUTILIZANFCE I\n"
                        " WHERE I.CDFILIAL = :P_CDFILIAL\n"
                        "   AND I.CDCAIXA  = :P_CDCAIXA\n"
                        "   AND I.IDIMPINUTILIZA <> 'S'"));

    // Snapshot of the open order items of the shop, sent at every transfer.
    out.push_back(query("adqCLIITCOMANDAVEN", {storeParam(), text("P_CDLOJA")},
                        "SELECT VE.CDFILIAL, VE.CDLOJA, IT.CDCAIXACOLETOR,\n"
                        "       IT.NRVENDAREST AS NRVENDARESTPEND, IT.NRCOMANDA AS NRCOMANDAPEND,\n"
                        "       IT.NRPRODCOMVEN AS NRPRODCOMVENPEN, IT.CDPRODUTO,\n"
                        "       IT.QTPRODCOMVEN AS QTPRODCOMVENPEN, IT.VRPRECCOMVEN AS "
                        "VRPRECCOMVENPEN,\n"
                        "       IT.IDSTPRCOMVEN AS IDSTPRCOMVENPEN, IT.VRDESCCOMVEN AS "
                        "VRDESCCOMVENPEN,\n"
                        "       VE.DTHRABERMESA AS DTHRINCOMVENPEN, IT.VRACRCOMVEN AS "
                        "VRACRCOMVENPEND,\n"
                        "       CO.DSCOMANDA AS DSCOMANDAPEND, VE.CDCLIENTE, VE.CDCONSUMIDOR, "
                        "VE.NRMESA\n"
                        "  FROM VENDAREST VE, ITCOMANDAVEN IT, COMANDAVEN CO\n"
                        " WHERE VE.CDFILIAL    = :P_CDFILIAL\n"
                        "   AND IT.CDFILIAL    = VE.CDFILIAL\n"
                        "   AND IT.NRVENDAREST = VE.NRVENDAREST\n"
                        "   AND CO.CDFILIAL    = VE.CDFILIAL\n"
                        "   AND CO.NRVENDAREST = VE.NRVENDAREST\n"
                        "   AND CO.NRCOMANDA   = IT.NRCOMANDA\n"
                        "   AND IT.CDLOJA      = :P_CDLOJA\n"
                        "   AND CO.DSCOMANDA NOT LIKE 'DLV%'\n"
                        "   AND (CO.IDSTCOMANDA <> 'X' AND CO.IDSTCOMANDA <> 'P')\n"
                        "   AND IT.IDSTPRCOMVEN <> '6'\n"
                        "   AND IT.IDSTPRCOMVEN <> '7'"));

    out.push_back(query("adqCliPedidoQel", {storeParam()},
                        "SELECT *\n"
                        "  FROM PEDIDOQEL\n"
                        " WHERE CDFILIAL = :P_CDFILIAL\n"
                        "   AND IDSTATUSPEDQEL = '4'\n"
                        "   AND IDIMPPEDIDOQEL <> 'S'\n"
                        "   AND (DATEDIFF(MI,DTULTATU,GETDATE()) >= 30 OR DTULTATU IS NULL)"));
    // Items of the ready orders; the opening time of their sale only when the
    // sale is in the window.
    out.push_back(query(
        "adqCliItPedidoQel", {storeParam(), text("P_NRSEQVENDAINI"), text("P_NRSEQVENDAFIN")},
        persist("SELECT IT.*, VE.DTABERTUR\n"
                "  FROM ITPEDIDOQEL IT\n"
                " INNER JOIN PEDIDOQEL PE ON PE.CDFILIAL = IT.CDFILIAL AND PE.NRPEDIDOQEL = "
                "IT.NRPEDIDOQEL\n"
                "  LEFT JOIN VENDA VE ON VE.CDFILIAL = IT.CDFILIAL AND VE.CDCAIXA = IT.CDCAIXA "
                "AND VE.NRSEQVENDA = IT.NRSEQVENDA\n"
                "       AND (VE.NRSEQVENDA BETWEEN :P_NRSEQVENDAINI AND :P_NRSEQVENDAFIN)\n"
                " WHERE PE.CDFILIAL = :P_CDFILIAL\n" +
                std::string(kReadyOrder))));
    out.push_back(query("adqCliKdsTempSetorEst", {storeParam()},
                        persist("SELECT K.*\n"
                                "  FROM KDS_TEMP_SETOREST K, PEDIDOQEL PE\n"
                                " WHERE PE.CDFILIAL    = :P_CDFILIAL\n"
                                "   AND K.CDFILIAL    = PE.CDFILIAL\n"
                                "   AND K.NRPEDIDOQEL = PE.NRPEDIDOQEL\n" +
                                std::string(kReadyOrder))));

    // NFC-e counters of the station's series: "NFCE", one character, store,
    // series (or station) code and anything.
    out.push_back(query("adqCliNOVOCODNFCE", {storeParam(), stationParam()},
                        "SELECT *\n"
                        "  FROM NOVOCODIGO\n"
                        " WHERE CDCONTADOR LIKE 'NFCE_' + :P_CDFILIAL + :P_CDCAIXA + '%'",
                        "SELECT *\n"
                        "  FROM NOVOCODIGO\n"
                        " WHERE CDCONTADOR LIKE 'NFCE_' || :P_CDFILIAL || :P_CDCAIXA || '%'"));
    out.push_back(query("adqVerifCDSERIECX", {storeParam(), stationParam()},
                        "SELECT CDSERIECX\n"
                        "   FROM CAIXA\n"
                        "WHERE CDFILIAL = :P_CDFILIAL\n"
                        "      AND CDCAIXA = :P_CDCAIXA"));

    out.push_back(query("adqCliARQCAT52", {storeParam(), stationParam()},
                        "SELECT A.*\n"
                        "FROM ARQCAT52 A\n"
                        "WHERE (A.CDFILIAL = :P_CDFILIAL)\n"
                        "AND (A.CDCAIXA  = :P_CDCAIXA )\n"
                        "AND (A.IDIMPTCAT52 <> 'S'    )"));

    out.push_back(query("adqCliReducaoZ", {storeParam(), stationParam()},
                        "SELECT *\n"
                        "  FROM REDUCAOZ\n"
                        " WHERE CDFILIAL = :P_CDFILIAL\n"
                        "   AND CDCAIXA  = :P_CDCAIXA\n"
                        "   AND IDIMPREDUCAO <> 'S'\n"
                        "ORDER BY DTREDUCAOZ"));
    out.push_back(reductionChild("adqCliIMPOSTOREDZ", "IMPOSTOREDZ"));
    out.push_back(reductionChild("adqCliTOTNFISCREDZ", "TOTNFISCREDZ"));
    out.push_back(reductionChild("adqCliFORMPGTOREDZ", "FORMPGTOREDZ"));

    // SQLite: the redundant last condition (implied by the one before it) and
    // the sort key the planner cannot take from an index let it look the
    // shifts up by their flag instead of walking every shift of the history.
    constexpr std::string_view kTurCaixa =
        "SELECT *\n"
        "  FROM TURCAIXA T\n"
        " WHERE CDFILIAL = :P_CDFILIAL\n"
        "   AND CDCAIXA  = :P_CDCAIXA\n"
        "   AND ((:P_DTMOVIM = 'T') OR (CONVERT(VARCHAR,DTMOVTURCAIX,103) = "
        ":P_DTMOVIM))\n"
        "   AND ((NOT EXISTS(SELECT 1\n"
        "                      FROM VENDA\n"
        "                     WHERE CDFILIAL  = T.CDFILIAL\n"
        "                       AND CDCAIXA   = T.CDCAIXA\n"
        "                       AND DTABERTUR = T.DTABERCAIX\n"
        "                       AND IDIMPVENDA IN ('I','A')) AND IDATUTURCAIXA = "
        "'A') OR IDATUTURCAIXA = 'I')\n"
        "ORDER BY DTABERCAIX";
    std::string turCaixaSqlite(sqliteOf(kTurCaixa));
    turCaixaSqlite.replace(turCaixaSqlite.rfind("ORDER BY"), std::string::npos,
                           "   AND IDATUTURCAIXA IN ('I','A')\nORDER BY +DTABERCAIX");
    out.push_back(query("adqCliTurCaixa", {storeParam(), stationParam(), text("P_DTMOVIM")},
                        kTurCaixa, persist(std::move(turCaixaSqlite))));

    out.push_back(query("adqCliMovBeneficioCtr", {},
                        "SELECT *\n"
                        "  FROM MOVBENEFICIOCTR\n"
                        " WHERE GETDATE() <= DTFIMVALBENECONS\n"
                        "   AND IDIMPTMOVCTR = 'I'"));

    // Count and total of all the station's sales of every entry day that still
    // has a sale to export.
    // SQLite: unlikely() tells the planner that the sales waiting are few
    // (here and in the sales window), so it looks them up by their flag
    // instead of scanning every sale of the station.
    out.push_back(query("adqCliRelVendas", {storeParam(), stationParam()},
                        relVendas("IDIMPVENDA IN ('I','A')"),
                        relVendas("unlikely(IDIMPVENDA IN ('I','A'))")));

    out.push_back(query("adqCliLogSincDlv", {storeParam(), stationParam()},
                        "SELECT A.* FROM LOGSINCDLV A\n"
                        "INNER JOIN CAIXA B ON B.CDFILIAL=A.CDFILIAL AND B.CDLOJA=A.CDLOJA AND "
                        "B.IDSINCCAIXADLV='S'\n"
                        "WHERE A.CDFILIAL=:P_CDFILIAL AND B.CDCAIXA=:P_CDCAIXA AND "
                        "(A.IDIMPLOG='N'or A.IDIMPLOG IS NULL)"));
    out.push_back(query("adqCliTotalDiaCaixa", {storeParam()},
                        "SELECT *\n"
                        "  FROM TOTALDIACAIXA\n"
                        " WHERE CDFILIAL = :P_CDFILIAL\n"
                        "   AND IDIMPTOTDIACAIXA = 'N'"));
    out.push_back(query("adqCliProdBloqVndTaa", {storeParam(), text("P_CDLOJA")},
                        "SELECT *\n"
                        "  FROM PRODBLOQVNDTAA\n"
                        " WHERE CDFILIAL = :P_CDFILIAL\n"
                        "   AND CDLOJA     = :P_CDLOJA"));
    out.push_back(query("adqCliEndeCons", {},
                        "SELECT *\n"
                        "  FROM ENDECONS\n"
                        " WHERE IDATUENDECONS='N'"));
    out.push_back(commandLog("adqCliCmdLog", "CMD_LOG", "DTHRREGISTRO"));
    out.push_back(commandLog("adqCliItCmdLog", "ITCMD_LOG", "DTHRINCOMVEN"));
}

}  // namespace qel::definitions::detail
