// Statements that set the export flags: the first-export marking of a station
// and the acknowledgement of the rows the server accepted.

#include "definitions/statement_builders.h"

namespace qel::definitions::detail {
namespace {

// The first-export marking of the rows of the shifts imported whole. SQL
// Server matches station and shift opening time as one concatenated text
// (fixed-width codes, time in style 120); SQLite compares the same three
// values as a row value.
Statement shiftImportedMarking(std::string_view name, std::string_view sqlServer,
                               std::string_view sqlite) {
    return command(name, {storeParam(), stationParam()}, sqlServer, sqlite);
}

void addFirstExport(std::vector<Statement>& out) {
    const std::vector<Param> station = {storeParam(), stationParam()};
    out.push_back(command("acmUpdImpTurCaixa", station,
                          "UPDATE TURCAIXA SET IDATUTURCAIXA = 'S' WHERE CDFILIAL = :P_CDFILIAL "
                          "AND CDCAIXA = :P_CDCAIXA AND IDIMPTCAIXA = 'S'"));
    out.push_back(shiftImportedMarking(
        "acmUpdImpVenda",
        "UPDATE VENDA SET IDIMPVENDA = 'S' WHERE CDFILIAL = :P_CDFILIAL AND CDCAIXA = :P_CDCAIXA "
        "AND CDFILIAL+CDCAIXA+CONVERT(VARCHAR,DTABERTUR,120) IN (SELECT "
        "CDFILIAL+CDCAIXA+CONVERT(VARCHAR,DTABERCAIX,120) FROM TURCAIXA WHERE CDFILIAL = "
        ":P_CDFILIAL AND CDCAIXA = :P_CDCAIXA AND IDIMPTCAIXA = 'S')",
        "UPDATE VENDA SET IDIMPVENDA = 'S' WHERE CDFILIAL = :P_CDFILIAL AND CDCAIXA = :P_CDCAIXA "
        "AND (CDFILIAL, CDCAIXA, CONVERT_STYLE(DTABERTUR,120)) IN (SELECT "
        "CDFILIAL, CDCAIXA, CONVERT_STYLE(DTABERCAIX,120) FROM TURCAIXA WHERE CDFILIAL = "
        ":P_CDFILIAL AND CDCAIXA = :P_CDCAIXA AND IDIMPTCAIXA = 'S')"));
    out.push_back(shiftImportedMarking(
        "acmUpdImpMovCaixa",
        "UPDATE MOVCAIXA SET IDIMPMOVCAIXA = 'S' WHERE CDFILIAL = :P_CDFILIAL AND CDCAIXA = "
        ":P_CDCAIXA AND CDFILIAL+CDCAIXA+CONVERT(VARCHAR,DTABERCAIX,120) IN (SELECT "
        "CDFILIAL+CDCAIXA+CONVERT(VARCHAR,DTABERCAIX,120) FROM TURCAIXA WHERE CDFILIAL = "
        ":P_CDFILIAL AND CDCAIXA = :P_CDCAIXA AND IDIMPTCAIXA = 'S')",
        "UPDATE MOVCAIXA SET IDIMPMOVCAIXA = 'S' WHERE CDFILIAL = :P_CDFILIAL AND CDCAIXA = "
        ":P_CDCAIXA AND (CDFILIAL, CDCAIXA, CONVERT_STYLE(DTABERCAIX,120)) IN (SELECT "
        "CDFILIAL, CDCAIXA, CONVERT_STYLE(DTABERCAIX,120) FROM TURCAIXA WHERE CDFILIAL = "
        ":P_CDFILIAL AND CDCAIXA = :P_CDCAIXA AND IDIMPTCAIXA = 'S')"));
    out.push_back(shiftImportedMarking(
        "acmUpdImpExtratoCons",
        "UPDATE EXTRATOCONS SET IDIMPEXTRATO = 'S' WHERE CDFILIAL = :P_CDFILIAL AND CDCAIXA = "
        ":P_CDCAIXA AND CDFILIAL+CDCAIXA+CONVERT(VARCHAR,DTABERCAIX,120) IN (SELECT "
        "CDFILIAL+CDCAIXA+CONVERT(VARCHAR,DTABERCAIX,120) FROM TURCAIXA WHERE CDFILIAL = "
        ":P_CDFILIAL AND CDCAIXA = :P_CDCAIXA AND IDIMPTCAIXA = 'S')",
        "UPDATE EXTRATOCONS SET IDIMPEXTRATO = 'S' WHERE CDFILIAL = :P_CDFILIAL AND CDCAIXA = "
        ":P_CDCAIXA AND (CDFILIAL, CDCAIXA, CONVERT_STYLE(DTABERCAIX,120)) IN (SELECT "
        "CDFILIAL, CDCAIXA, CONVERT_STYLE(DTABERCAIX,120) FROM TURCAIXA WHERE CDFILIAL = "
        ":P_CDFILIAL AND CDCAIXA = :P_CDCAIXA AND IDIMPTCAIXA = 'S')"));
    out.push_back(command("acmUpdNrSeqVendaMsde", station,
                          "UPDATE VENDA SET NRSEQVENDAMSDE = NRSEQVENDA WHERE CDFILIAL = "
                          ":P_CDFILIAL AND CDCAIXA = :P_CDCAIXA AND IDIMPVENDA <> 'S' AND "
                          "NRSEQVENDAMSDE IS NULL"));
    out.push_back(command("acmUpdNrSequMoviMsde", station,
                          "UPDATE MOVCAIXA SET NRSEQUMOVIMSDE = NRSEQUMOVI WHERE CDFILIAL = "
                          ":P_CDFILIAL AND CDCAIXA = :P_CDCAIXA AND IDIMPMOVCAIXA <> 'S'"));
    out.push_back(command("acmUpdNrPedidoQelMsde", {storeParam()},
                          "UPDATE PEDIDOQEL SET NRPEDIDOQELMSDE = NRPEDIDOQEL WHERE CDFILIAL = "
                          ":P_CDFILIAL AND IDIMPPEDIDOQEL <> 'S'"));
    out.push_back(command("acmUpdCaixa", station,
                          "UPDATE CAIXA SET IDPRIMVEZEXPON = 'N' WHERE CDFILIAL = :P_CDFILIAL AND "
                          "CDCAIXA = :P_CDCAIXA"));
}

// Declared size of the date-time keys that travel as text: room for any
// usual rendering of a date and time, so that one of an unexpected form fails
// to match instead of failing the routine.
constexpr int kTimeTextSize = 30;

// Keys wider than the usual 16 characters (customer and consumer codes, fiscal
// series, system names, passwords) are declared at their column's width: a
// longer code would otherwise be refused at every acknowledgement and its row
// would be sent again forever.

void addTableAcknowledgements(std::vector<Statement>& out) {
    out.push_back(command("acmUpdConsumidor", {text("P_CDCONSUMIDOR", 21), text("P_CDCLIENTE", 21)},
                          "UPDATE CONSUMIDOR SET IDATUCONSUMI = 'S' WHERE CDCONSUMIDOR = "
                          ":P_CDCONSUMIDOR AND CDCLIENTE = :P_CDCLIENTE AND IDATUCONSUMI <> 'S'"));
    out.push_back(command("acmUpdOperador", {text("P_CDOPERADOR")},
                          "UPDATE OPERADOR SET IDATUOPERADOR = 'S' WHERE CDOPERADOR = "
                          ":P_CDOPERADOR AND IDATUOPERADOR <> 'S'"));
    // The time key comes as text without milliseconds; the column is compared
    // with its milliseconds removed. Time texts are wider than the default
    // size of a text parameter.
    out.push_back(command(
        "acmUpdLogOperQel",
        {storeParam(), stationParam(), text("P_IDOPERQEL"), text("P_CDOPERRESPOP"),
         text("P_DTHROPERQEL", kTimeTextSize)},
        "UPDATE LOGOPERQEL SET IDIMPLOGOPERQEL = 'S' WHERE CDFILIAL = :P_CDFILIAL AND CDCAIXA = "
        ":P_CDCAIXA AND IDOPERQEL = :P_IDOPERQEL AND CDOPERRESPOP = :P_CDOPERRESPOP AND "
        "DATEADD(ms, -DATEPART(ms, DTHROPERQEL), DTHROPERQEL) = :P_DTHROPERQEL",
        "UPDATE LOGOPERQEL SET IDIMPLOGOPERQEL = 'S' WHERE CDFILIAL = :P_CDFILIAL AND CDCAIXA = "
        ":P_CDCAIXA AND IDOPERQEL = :P_IDOPERQEL AND CDOPERRESPOP = :P_CDOPERRESPOP AND "
        "DATEADD('ms', -DATEPART('ms', DTHROPERQEL), DTHROPERQEL) = "
        "CAST_DATETIME(:P_DTHROPERQEL)"));
    // The same flag for one sent row, named by its exact time. SQL Server
    // keeps a datetime in steps of about 3 ms and reads it back rounded to the
    // millisecond, so the match allows one millisecond each way; two rows of
    // one second are at least one step apart.
    out.push_back(command(
        "acmUpdLogOperQelExato",
        {storeParam(), stationParam(), text("P_IDOPERQEL"), text("P_CDOPERRESPOP"),
         dateTime("P_DTHROPERQEL")},
        "UPDATE LOGOPERQEL SET IDIMPLOGOPERQEL = 'S' WHERE CDFILIAL = :P_CDFILIAL AND CDCAIXA = "
        ":P_CDCAIXA AND IDOPERQEL = :P_IDOPERQEL AND CDOPERRESPOP = :P_CDOPERRESPOP AND "
        "DTHROPERQEL BETWEEN DATEADD(ms, -1, :P_DTHROPERQEL) AND DATEADD(ms, 1, :P_DTHROPERQEL)",
        "UPDATE LOGOPERQEL SET IDIMPLOGOPERQEL = 'S' WHERE CDFILIAL = :P_CDFILIAL AND CDCAIXA = "
        ":P_CDCAIXA AND IDOPERQEL = :P_IDOPERQEL AND CDOPERRESPOP = :P_CDOPERRESPOP AND "
        "CAST_DATETIME(DTHROPERQEL) = CAST_DATETIME(:P_DTHROPERQEL)"));
    out.push_back(
        command("acmUpdLogAcesso",
                {text("P_CDOPERADOR"), text("P_DSSISTEMA", 20), dateTime("P_DTHRACESSO")},
                "UPDATE LOGACESSO SET IDIMPLOGACESSO = 'S' WHERE CDOPERADOR = :P_CDOPERADOR AND "
                "DSSISTEMA = :P_DSSISTEMA AND DTHRACESSO = :P_DTHRACESSO"));
    out.push_back(command(
        "acmUpdControlSenha",
        {text("P_CDOPERADOR"), dateTime("P_DTALTSENHA"), text("P_CDSENHALT", 20)},
        "UPDATE CONTROLSENHA SET IDATUCTRLSENHA = 'S' WHERE CDOPERADOR = :P_CDOPERADOR AND "
        "DTALTSENHA = :P_DTALTSENHA AND CDSENHALT = :P_CDSENHALT AND IDATUCTRLSENHA <> 'S'"));
    out.push_back(
        command("acmUpdInutilizaNfce", {storeParam(), stationParam(), text("P_NRNOTAFISCALCE")},
                "UPDATE INUTILIZANFCE SET IDIMPINUTILIZA = 'S' WHERE (CDFILIAL = :P_CDFILIAL) AND "
                "(CDCAIXA = :P_CDCAIXA) AND (NRNOTAFISCALCE = :P_NRNOTAFISCALCE)"));
    out.push_back(command(
        "acmDelPedidoQel", {storeParam(), text("P_NRPEDIDOQEL")},
        "DELETE FROM PEDIDOQEL WHERE CDFILIAL = :P_CDFILIAL AND NRPEDIDOQEL = :P_NRPEDIDOQEL"));
    out.push_back(command(
        "acmUpdArqCat52",
        {storeParam(), stationParam(), text("P_NRSERIECAT52", 20), dateTime("P_DTMOVCAT52")},
        "UPDATE ARQCAT52 SET IDIMPTCAT52 = 'S' WHERE (CDFILIAL = :P_CDFILIAL ) AND (CDCAIXA = "
        ":P_CDCAIXA ) AND (NRSERIECAT52 = :P_NRSERIECAT52) AND (DTMOVCAT52 = :P_DTMOVCAT52)"));
    out.push_back(command(
        "acmUpdRedZ", {storeParam(), stationParam(), text("P_NRECFREDZ"), dateTime("P_DTREDUCAOZ")},
        "UPDATE REDUCAOZ SET IDIMPREDUCAO = 'S' WHERE CDFILIAL = :P_CDFILIAL AND CDCAIXA = "
        ":P_CDCAIXA AND NRECFREDZ = :P_NRECFREDZ AND DTREDUCAOZ = :P_DTREDUCAOZ"));
    out.push_back(query("adqVerifTurcaixa",
                        {storeParam(), stationParam(), dateTime("P_DTABERCAIX")},
                        "SELECT DTFECHCAIX, IDATUTURCAIXA\n"
                        "FROM TURCAIXA\n"
                        "WHERE CDFILIAL = :P_CDFILIAL\n"
                        "AND CDCAIXA = :P_CDCAIXA\n"
                        "AND DTABERCAIX = :P_DTABERCAIX"));
    out.push_back(command("acmUpdTurCaixa",
                          {text("P_IDATUTURCAIXA"), date("P_DATAEXPORTA"), storeParam(),
                           stationParam(), dateTime("P_DTABERCAIX")},
                          "UPDATE TURCAIXA SET IDATUTURCAIXA = :P_IDATUTURCAIXA, DTEXPTURCAIXA = "
                          ":P_DATAEXPORTA WHERE CDFILIAL = :P_CDFILIAL AND CDCAIXA = :P_CDCAIXA "
                          "AND DTABERCAIX = :P_DTABERCAIX"));
    out.push_back(command(
        "acmUpdMovCaixa",
        {storeParam(), stationParam(), dateTime("P_DTABERCAIX"), text("P_NRSEQUMOVI")},
        "UPDATE MOVCAIXA SET IDIMPMOVCAIXA = 'S' WHERE CDFILIAL = :P_CDFILIAL AND CDCAIXA = "
        ":P_CDCAIXA AND DTABERCAIX = :P_DTABERCAIX AND NRSEQUMOVI = :P_NRSEQUMOVI"));
    out.push_back(command(
        "acmUpdExtratoCons",
        {text("P_CDCLIENTE", 21), text("P_CDCONSUMIDOR", 21), text("P_CDFAMILISALD"),
         dateTime("P_DTMOVEXTCONS"), text("P_NRSEQMOVEXT")},
        "UPDATE EXTRATOCONS SET IDIMPEXTRATO = 'S' WHERE CDCLIENTE = :P_CDCLIENTE AND "
        "CDCONSUMIDOR = :P_CDCONSUMIDOR AND CDFAMILISALD = :P_CDFAMILISALD AND DTMOVEXTCONS = "
        ":P_DTMOVEXTCONS AND NRSEQMOVEXT = :P_NRSEQMOVEXT"));
    out.push_back(command(
        "acmUpdEstornoVnd", {storeParam(), stationParam(), text("P_NRSEQVENDA")},
        "UPDATE ESTORNOVND SET IDIMPESTVND = 'S' WHERE (CDFILIAL = :P_CDFILIAL ) AND (CDCAIXA "
        "= :P_CDCAIXA ) AND (NRSEQVENDA = :P_NRSEQVENDA)"));
    out.push_back(
        command("acmUpdMovBeneficioCtr",
                {text("P_CDCLIENTE", 21), text("P_CDCONSUMIDOR", 21), text("P_CDCAMPANHA"),
                 text("P_NRSEQPRODCAMP"), text("P_NRSEQBENEFICIO"), floating("P_QTDEBENEFICIO")},
                "UPDATE MOVBENEFICIOCTR SET IDIMPTMOVCTR = 'N' WHERE CDCLIENTE = :P_CDCLIENTE AND "
                "CDCONSUMIDOR = :P_CDCONSUMIDOR AND CDCAMPANHA = :P_CDCAMPANHA AND NRSEQPRODCAMP = "
                ":P_NRSEQPRODCAMP AND NRSEQBENEFICIO = :P_NRSEQBENEFICIO AND QTDEBENEFICIO = "
                ":P_QTDEBENEFICIO"));
    out.push_back(command(
        "acmUpdLogSincDlv",
        {storeParam(), text("P_CDLOJA"), text("P_NRVENDARESTAUX"), dateTime("P_DTHRABERMESA")},
        "UPDATE LOGSINCDLV SET IDIMPLOG = 'S' WHERE CDFILIAL = :P_CDFILIAL AND CDLOJA = "
        ":P_CDLOJA AND NRVENDARESTAUX = :P_NRVENDARESTAUX AND DTHRABERMESA = :P_DTHRABERMESA"));
    out.push_back(command("acmUpdTotalDiaCaixa", {storeParam(), stationParam(), date("P_DTTOTAL")},
                          "UPDATE TOTALDIACAIXA SET IDIMPTOTDIACAIXA = 'S' WHERE CDFILIAL = "
                          ":P_CDFILIAL AND CDCAIXA = :P_CDCAIXA AND DTTOTAL = :P_DTTOTAL"));
    out.push_back(command(
        "acmUpdEndeCons",
        {text("P_CDCONSUMIDOR", 21), text("P_CDCLIENTE", 21), text("P_CDENDECONS")},
        "UPDATE ENDECONS SET IDATUENDECONS = 'S' WHERE CDCONSUMIDOR = :P_CDCONSUMIDOR AND "
        "CDCLIENTE = :P_CDCLIENTE AND CDENDECONS = :P_CDENDECONS AND IDATUENDECONS <> 'S'"));
    out.push_back(
        command("acmUpdLogNfce",
                {storeParam(), stationParam(), text("P_NRSEQVENDA"), text("P_NRSEQLOGNFCE")},
                "UPDATE LOGNFCE SET IDIMPLOGNFCE = 'S' WHERE CDFILIAL = :P_CDFILIAL AND CDCAIXA = "
                ":P_CDCAIXA AND NRSEQVENDA = :P_NRSEQVENDA AND NRSEQLOGNFCE = :P_NRSEQLOGNFCE AND "
                "IDIMPLOGNFCE <> 'S'"));
    // Command logs: the time key is the text "DD/MM/YYYY HH:MM:SS" (19
    // characters); a text of another form simply matches no row.
    out.push_back(command(
        "acmUpdCmdLog",
        {storeParam(), text("P_NRVENDAREST"), text("P_NRCOMANDA"),
         text("P_DTHRREGISTRO", kTimeTextSize)},
        "UPDATE CMD_LOG SET IDEXPREGISTRO = 'S' WHERE CDFILIAL = :P_CDFILIAL AND NRVENDAREST = "
        ":P_NRVENDAREST AND NRCOMANDA = :P_NRCOMANDA AND "
        "CONVERT(VARCHAR,DTHRREGISTRO,103)+' '+CONVERT(VARCHAR,DTHRREGISTRO,108) = "
        ":P_DTHRREGISTRO",
        "UPDATE CMD_LOG SET IDEXPREGISTRO = 'S' WHERE CDFILIAL = :P_CDFILIAL AND NRVENDAREST = "
        ":P_NRVENDAREST AND NRCOMANDA = :P_NRCOMANDA AND "
        "CONVERT_STYLE(DTHRREGISTRO,103)||' '||CONVERT_STYLE(DTHRREGISTRO,108) = "
        ":P_DTHRREGISTRO"));
    out.push_back(command(
        "acmUpdItCmdLog",
        {storeParam(), text("P_NRVENDAREST"), text("P_NRCOMANDA"), text("P_NRPRODCOMVEN"),
         text("P_DTHRINCOMVEN", kTimeTextSize)},
        "UPDATE ITCMD_LOG SET IDEXPREGISTRO = 'S' WHERE CDFILIAL = :P_CDFILIAL AND NRVENDAREST "
        "= :P_NRVENDAREST AND NRCOMANDA = :P_NRCOMANDA AND NRPRODCOMVEN = :P_NRPRODCOMVEN AND "
        "CONVERT(VARCHAR,DTHRINCOMVEN,103)+' '+CONVERT(VARCHAR,DTHRINCOMVEN,108) = "
        ":P_DTHRINCOMVEN",
        "UPDATE ITCMD_LOG SET IDEXPREGISTRO = 'S' WHERE CDFILIAL = :P_CDFILIAL AND NRVENDAREST "
        "= :P_NRVENDAREST AND NRCOMANDA = :P_NRCOMANDA AND NRPRODCOMVEN = :P_NRPRODCOMVEN AND "
        "CONVERT_STYLE(DTHRINCOMVEN,103)||' '||CONVERT_STYLE(DTHRINCOMVEN,108) = "
        ":P_DTHRINCOMVEN"));
    // The same flags for one sent row, named by its exact time (see
    // acmUpdLogOperQelExato for the millisecond each way).
    out.push_back(command(
        "acmUpdCmdLogExato",
        {storeParam(), text("P_NRVENDAREST"), text("P_NRCOMANDA"), dateTime("P_DTHRREGISTRO")},
        "UPDATE CMD_LOG SET IDEXPREGISTRO = 'S' WHERE CDFILIAL = :P_CDFILIAL AND NRVENDAREST = "
        ":P_NRVENDAREST AND NRCOMANDA = :P_NRCOMANDA AND DTHRREGISTRO BETWEEN DATEADD(ms, -1, "
        ":P_DTHRREGISTRO) AND DATEADD(ms, 1, :P_DTHRREGISTRO)",
        "UPDATE CMD_LOG SET IDEXPREGISTRO = 'S' WHERE CDFILIAL = :P_CDFILIAL AND NRVENDAREST = "
        ":P_NRVENDAREST AND NRCOMANDA = :P_NRCOMANDA AND CAST_DATETIME(DTHRREGISTRO) = "
        "CAST_DATETIME(:P_DTHRREGISTRO)"));
    out.push_back(command(
        "acmUpdItCmdLogExato",
        {storeParam(), text("P_NRVENDAREST"), text("P_NRCOMANDA"), text("P_NRPRODCOMVEN"),
         dateTime("P_DTHRINCOMVEN")},
        "UPDATE ITCMD_LOG SET IDEXPREGISTRO = 'S' WHERE CDFILIAL = :P_CDFILIAL AND NRVENDAREST "
        "= :P_NRVENDAREST AND NRCOMANDA = :P_NRCOMANDA AND NRPRODCOMVEN = :P_NRPRODCOMVEN AND "
        "DTHRINCOMVEN BETWEEN DATEADD(ms, -1, :P_DTHRINCOMVEN) AND DATEADD(ms, 1, :P_DTHRINCOMVEN)",
        "UPDATE ITCMD_LOG SET IDEXPREGISTRO = 'S' WHERE CDFILIAL = :P_CDFILIAL AND NRVENDAREST "
        "= :P_NRVENDAREST AND NRCOMANDA = :P_NRCOMANDA AND NRPRODCOMVEN = :P_NRPRODCOMVEN AND "
        "CAST_DATETIME(DTHRINCOMVEN) = CAST_DATETIME(:P_DTHRINCOMVEN)"));
}

void addSaleAcknowledgement(std::vector<Statement>& out) {
    const std::vector<Param> saleKey = {storeParam(), stationParam(), text("P_NRSEQVENDA")};
    out.push_back(query("adqVerifVenda", saleKey,
                        "SELECT IDSITUVENDA, CDVENDEDOR, IDENVIOFID4ALL, IDTPEMISVEND,\n"
                        "NRACESSONFCE, IDSTATUSNFCE, IDENVIOFIDUDS\n"
                        "FROM VENDA\n"
                        "WHERE CDFILIAL = :P_CDFILIAL\n"
                        "AND CDCAIXA = :P_CDCAIXA\n"
                        "AND NRSEQVENDA = :P_NRSEQVENDA"));
    out.push_back(query("qryAtualizaMoviClie", {storeParam()},
                        "SELECT\n"
                        "CASE IDATUIDMCLI WHEN 'N' THEN 'S' ELSE 'N' END AS IDBXMOVICLIE\n"
                        "FROM\n"
                        "PARAVEND\n"
                        "WHERE\n"
                        "CDFILIAL = :P_CDFILIAL"));
    out.push_back(command(
        "acmUpdVenda", {text("P_IDIMPVENDA"), storeParam(), stationParam(), text("P_NRSEQVENDA")},
        "UPDATE VENDA SET IDIMPVENDA = :P_IDIMPVENDA WHERE CDFILIAL = "
        ":P_CDFILIAL AND CDCAIXA = :P_CDCAIXA AND NRSEQVENDA = :P_NRSEQVENDA"));
    out.push_back(
        command("acmUpdDtExpVenda",
                {dateTime("P_DTEXPVENDA"), storeParam(), stationParam(), text("P_NRSEQVENDA")},
                "UPDATE VENDA SET DTEXPVENDA = :P_DTEXPVENDA WHERE CDFILIAL = "
                ":P_CDFILIAL AND CDCAIXA = :P_CDCAIXA AND NRSEQVENDA = :P_NRSEQVENDA "
                "AND DTEXPVENDA IS NULL"));
    out.push_back(command("acmUpdMoviClie",
                          {text("P_IDBXVENDACAT"), text("P_IDBXMOVICLIE"), text("P_CDCLIENTE", 21),
                           text("P_NRSEQMOVCLI")},
                          "UPDATE MOVICLIE SET IDBXVENDACAT = :P_IDBXVENDACAT, IDBXMOVICLIE = "
                          ":P_IDBXMOVICLIE WHERE CDCLIENTE = :P_CDCLIENTE AND NRSEQMOVCLI = "
                          ":P_NRSEQMOVCLI"));
    out.push_back(command("acmUpdItFidelidade", saleKey,
                          "UPDATE ITFIDELIDADE SET IDIMPTFIDEL = 'S' WHERE CDFILIAL = :P_CDFILIAL "
                          "AND CDCAIXA = :P_CDCAIXA AND NRSEQVENDA = :P_NRSEQVENDA"));
    out.push_back(command("acmUpdMovBeneficioCons", saleKey,
                          "UPDATE MOVBENEFICIOCONS SET IDIMPTMOV = 'N' WHERE CDFILIAL = "
                          ":P_CDFILIAL AND CDCAIXA = :P_CDCAIXA AND NRSEQVENDA = :P_NRSEQVENDA"));
}

}  // namespace

void addAcknowledgementStatements(std::vector<Statement>& out) {
    addFirstExport(out);
    addTableAcknowledgements(out);
    addSaleAcknowledgement(out);
}

}  // namespace qel::definitions::detail
