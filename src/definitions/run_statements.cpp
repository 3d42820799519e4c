// Statements of the scheduling, the export run and the station's role:
// who exports, the running flag, the reference dates and the station's row.

#include "definitions/statement_builders.h"

namespace qel::definitions::detail {

void addRunStatements(std::vector<Statement>& out) {
    out.push_back(query("adqTipoExportacao", {},
                        "SELECT IDTIPOEXPORTA\n"
                        "FROM PARAVEND"));
    out.push_back(query("adqQelExpExecuta", {storeParam(), stationParam()},
                        "SELECT 1\n"
                        "FROM QELEXPEXECUTA\n"
                        "WHERE CDFILIAL = :P_CDFILIAL\n"
                        "AND CDCAIXA  = :P_CDCAIXA"));
    out.push_back(
        command("acmInsQelExpExecuta",
                {text("CDFILIAL"), text("CDCAIXA"), text("IDQELEXPEXECUTA"), dateTime("DTULTATU")},
                "INSERT INTO QELEXPEXECUTA\n"
                "(CDFILIAL, CDCAIXA, IDQELEXPEXECUTA, DTULTATU)\n"
                "VALUES\n"
                "(:CDFILIAL, :CDCAIXA, :IDQELEXPEXECUTA, :DTULTATU)"));
    out.push_back(
        command("acmUpdQelExpExecuta",
                {text("CDFILIAL"), text("CDCAIXA"), text("IDQELEXPEXECUTA"), dateTime("DTULTATU")},
                "UPDATE QELEXPEXECUTA\n"
                "SET IDQELEXPEXECUTA = :IDQELEXPEXECUTA,\n"
                "DTULTATU = :DTULTATU\n"
                "WHERE CDFILIAL = :CDFILIAL\n"
                "AND CDCAIXA = :CDCAIXA"));

    // The run only asks whether the table is empty and for its newest
    // last-update time. Counting would read every row of history, so the
    // SQLite texts ask whether a row exists (CONT is 0 or 1) and take the
    // maximum from the index on the last-update column.
    out.push_back(query("adqGetDTULTATUEXT", {},
                        "SELECT COUNT(*) AS CONT, MAX(DTULTATUEXT) AS DTULTATU FROM EXTRATOCONS",
                        "SELECT EXISTS (SELECT 1 FROM EXTRATOCONS) AS CONT,\n"
                        "(SELECT MAX(DTULTATUEXT) FROM EXTRATOCONS) AS DTULTATU"));
    out.push_back(query("adqGetDTULTATUMCli", {},
                        "SELECT COUNT(*) AS CONT, MAX(DTULTATUMCLI) AS DTULTATU FROM MOVICLIE",
                        "SELECT EXISTS (SELECT 1 FROM MOVICLIE) AS CONT,\n"
                        "(SELECT MAX(DTULTATUMCLI) FROM MOVICLIE) AS DTULTATU"));
    out.push_back(query("adqCaixa", {storeParam(), stationParam()},
                        "SELECT IDPRIMVEZEXPON, IDCOLETOR\n"
                        "FROM CAIXA\n"
                        "WHERE (CDFILIAL = :P_CDFILIAL)\n"
                        "AND (CDCAIXA  = :P_CDCAIXA )"));
    out.push_back(query("adqParaVend", {storeParam()},
                        "SELECT NRMINEXPVENDA, NRVENDAEXP\n"
                        "FROM PARAVEND\n"
                        "WHERE CDFILIAL = :P_CDFILIAL"));
    out.push_back(query("qryMovTurCaixa", {storeParam(), stationParam()},
                        "SELECT DISTINCT\n"
                        "DTMOVTURCAIX\n"
                        "FROM\n"
                        "TURCAIXA\n"
                        "WHERE\n"
                        "(CDFILIAL = :P_CDFILIAL) AND\n"
                        "(CDCAIXA  = :P_CDCAIXA ) AND\n"
                        "(IDATUTURCAIXA IN ('I','A'))\n"
                        "ORDER BY\n"
                        "DTMOVTURCAIX"));

    out.push_back(query("adqLoja", {storeParam(), stationParam()},
                        "SELECT\n"
                        "CDLOJA\n"
                        "FROM\n"
                        "CAIXA\n"
                        "WHERE\n"
                        "(CDFILIAL = :P_CDFILIAL) AND\n"
                        "(CDCAIXA  = :P_CDCAIXA )"));
    out.push_back(query("adqCaixasAssociados", {storeParam(), stationParam()},
                        "SELECT DSCAIXAVEN\n"
                        "FROM CAIXA\n"
                        "WHERE CDFILIAL = :P_CDFILIAL\n"
                        "AND CDCAIXA  = :P_CDCAIXA"));
    // A substring match: station 1 counts as listed in "10_12".
    out.push_back(query("adqEstaAssociado", {storeParam(), stationParam()},
                        "SELECT 1\n"
                        "FROM CAIXA\n"
                        "WHERE CDFILIAL = :P_CDFILIAL\n"
                        "AND CHARINDEX(:P_CDCAIXA, DSCAIXAVEN) <> 0"));
}

}  // namespace qel::definitions::detail
