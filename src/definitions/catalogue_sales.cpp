// Selections of the export catalogue that are tied to the station's sales:
// the sales window, the sales, their children, cash movements and the
// customer-account extract.

#include <string>

#include "definitions/statement_builders.h"

namespace qel::definitions::detail {
namespace {

// The conditions a sale must meet for the rows tied to it to be sent: the
// movement day, at least two minute boundaries since its insertion (or closing)
// and the window of sales of the current transfer.
constexpr std::string_view kSaleDayRule =
    "   AND ((:P_DTMOVIM = 'T') OR (CONVERT(VARCHAR,V.DTENTRVENDA,103) = :P_DTMOVIM))\n";
constexpr std::string_view kSaleAgeRule =
    "   AND DATEDIFF(mi,ISNULL(V.DTINSERCAO,V.DTFECHAVENDA),GETDATE()) >= 2\n";
constexpr std::string_view kSaleWindowRule =
    "   AND V.NRSEQVENDA BETWEEN :P_NRSEQVENDAINI AND :P_NRSEQVENDAFIN";

// A refund goes with its sale when the sale waits, and on its own once the
// sale is exported: the window holds only waiting sales, so a refund left
// waiting after its sale went (its own acknowledgement failed, or it came
// later) would otherwise never be sent.
constexpr std::string_view kRefundWindowRule =
    "   AND (V.NRSEQVENDA BETWEEN :P_NRSEQVENDAINI AND :P_NRSEQVENDAFIN OR V.IDIMPVENDA = 'S')";

std::vector<Param> saleParams() {
    return {storeParam(), stationParam(), text("P_DTMOVIM"), text("P_NRSEQVENDAINI"),
            text("P_NRSEQVENDAFIN")};
}

// Rows of a child table of a new sale ('I'), not excluded, of this station,
// under the day, age and window rules. `extra` holds further conditions (each
// a line starting with "   AND "), `orderBy` the sort keys or nothing.
std::string_view childSelection(std::string_view table, std::string_view alias,
                                std::string_view extra, std::string_view orderBy) {
    const std::string a(alias);
    std::string sql = "SELECT " + a + ".*\n";
    sql += "  FROM " + std::string(table) + " " + a + ", VENDA V\n";
    sql += " WHERE V.CDFILIAL   = :P_CDFILIAL\n";
    sql += "   AND V.CDCAIXA    = :P_CDCAIXA\n";
    sql += "   AND " + a + ".CDFILIAL   = V.CDFILIAL\n";
    sql += "   AND " + a + ".CDCAIXA    = V.CDCAIXA\n";
    sql += "   AND " + a + ".NRSEQVENDA = V.NRSEQVENDA\n";
    sql += "   AND V.IDIMPVENDA = 'I'\n";
    sql += "   AND V.IDSITUVENDA <> 'P'\n";
    sql += extra;
    sql += kSaleDayRule;
    sql += kSaleAgeRule;
    sql += kSaleWindowRule;
    if (!orderBy.empty()) sql += "\nORDER BY " + std::string(orderBy);
    return persist(std::move(sql));
}

Statement child(std::string_view name, std::string_view table, std::string_view alias,
                std::string_view orderBy, std::string_view extra = {}) {
    return query(name, saleParams(), childSelection(table, alias, extra, orderBy));
}

}  // namespace

void addSaleSelections(std::vector<Statement>& out) {
    out.push_back(query("adqRangeVendaExp",
                        {storeParam(), stationParam(), text("P_DTMOVIM"), integer("P_NRVENDAEXP")},
                        "SELECT TOP(:P_NRVENDAEXP) V.NRSEQVENDA\n"
                        "  FROM VENDA V\n"
                        " WHERE V.CDFILIAL = :P_CDFILIAL\n"
                        "   AND V.CDCAIXA  = :P_CDCAIXA\n"
                        "   AND V.IDSITUVENDA <> 'P'\n"
                        "   AND V.IDIMPVENDA IN ('I','A')\n"
                        "   AND ((:P_DTMOVIM = 'T') OR (CONVERT(VARCHAR,V.DTENTRVENDA,103) = "
                        ":P_DTMOVIM))\n"
                        "   AND DATEDIFF(mi,ISNULL(V.DTINSERCAO,V.DTFECHAVENDA),GETDATE()) >= 2\n"
                        "ORDER BY V.DTABERTUR, V.NRSEQVENDA",
                        "SELECT V.NRSEQVENDA\n"
                        "  FROM VENDA V\n"
                        " WHERE V.CDFILIAL = :P_CDFILIAL\n"
                        "   AND V.CDCAIXA  = :P_CDCAIXA\n"
                        "   AND V.IDSITUVENDA <> 'P'\n"
                        "   AND unlikely(V.IDIMPVENDA IN ('I','A'))\n"
                        "   AND ((:P_DTMOVIM = 'T') OR (CONVERT_STYLE(V.DTENTRVENDA,103) = "
                        ":P_DTMOVIM))\n"
                        "   AND DATEDIFF('mi',IFNULL(V.DTINSERCAO,V.DTFECHAVENDA),GETDATE()) >= 2\n"
                        "ORDER BY V.DTABERTUR, V.NRSEQVENDA\n"
                        "LIMIT :P_NRVENDAEXP"));

    out.push_back(query("adqCliVenda", saleParams(),
                        "SELECT V.*\n"
                        "  FROM VENDA V\n"
                        " WHERE V.CDFILIAL = :P_CDFILIAL\n"
                        "   AND V.CDCAIXA  = :P_CDCAIXA\n"
                        "   AND V.IDSITUVENDA <> 'P'\n"
                        "   AND V.IDIMPVENDA IN ('I','A')\n"
                        "   AND ((:P_DTMOVIM = 'T') OR (CONVERT(VARCHAR,V.DTENTRVENDA,103) = "
                        ":P_DTMOVIM))\n"
                        "   AND DATEDIFF(mi,ISNULL(V.DTINSERCAO,V.DTFECHAVENDA),GETDATE()) >= 2\n"
                        "   AND V.NRSEQVENDA BETWEEN :P_NRSEQVENDAINI AND :P_NRSEQVENDAFIN\n"
                        "ORDER BY V.DTABERTUR, V.NRSEQVENDA"));

    out.push_back(child("adqCliItemVenda", "ITEMVENDA", "I", "I.NRSEQVENDA, I.NRSEQUITVEND"));
    out.push_back(child("adqCliItVendaImpos", "ITVENDAIMPOS", "I", "I.NRSEQVENDA, I.NRSEQITIMPOS"));
    out.push_back(child("adqCliItVendaCan", "ITVENDACAN", "I", "I.NRSEQVENDA, I.NRSEQITVENDC"));
    out.push_back(
        child("adqCliITEMVENDAEST", "ITEMVENDAEST", "IT", "IT.NRSEQVENDA, IT.NRSEQUITVEND"));
    out.push_back(child("adqCliMoviClie", "MOVICLIE", "M", "M.DTABERCAIX, M.NRSEQMOVCLI",
                        "   AND V.DTABERTUR  = M.DTABERCAIX\n"));
    out.push_back(child("adqCliObsItemVenda", "OBSITEMVENDA", "O", "O.NRSEQVENDA, O.NRSEQUITVEND"));
    out.push_back(
        child("adqCliObsItemVendaEst", "OBSITEMVENDAEST", "O", "O.NRSEQVENDA, O.NRSEQUITVEND"));
    out.push_back(child("adqCliItHrComanda", "ITHRCOMANDA", "I", "I.NRSEQVENDA"));
    out.push_back(child("adqCliItVendaDes", "ITVENDADES", "I", "I.NRSEQVENDA, I.NRSEQITVENDADES"));
    out.push_back(child("adqCliUsoCupomDescQel", "USOCUPOMDESCQEL", "U", "",
                        "   AND ((CONVERT(VARCHAR,U.DTULTATU,103) = "
                        "CONVERT(VARCHAR,ISNULL(V.DTINSERCAO,V.DTFECHAVENDA),103)) OR "
                        "(U.DTULTATU IS NULL))\n"));
    out.push_back(child("adqCliPromoVenda", "PROMOVENDA", "P", "P.NRSEQVENDA"));
    out.push_back(child("adqCliValePresente", "VALEPRESENTE", "P", "P.NRSEQVENDA"));

    out.push_back(query("adqCliMovCaixa", saleParams(),
                        "SELECT M.*\n"
                        "  FROM MOVCAIXA M\n"
                        " WHERE M.CDFILIAL = :P_CDFILIAL\n"
                        "   AND M.CDCAIXA  = :P_CDCAIXA\n"
                        "   AND M.IDIMPMOVCAIXA <> 'S'\n"
                        "   AND M.NRSEQVENDA IS NULL\n"
                        "   AND ((:P_DTMOVIM = 'T') OR (CONVERT(VARCHAR,M.DTMOVIMCAIXA,103) = "
                        ":P_DTMOVIM))\n"
                        "UNION\n"
                        "SELECT M.*\n"
                        "  FROM MOVCAIXA M, VENDA V\n"
                        " WHERE M.CDFILIAL   = :P_CDFILIAL\n"
                        "   AND M.CDCAIXA    = :P_CDCAIXA\n"
                        "   AND M.CDFILIAL   = V.CDFILIAL\n"
                        "   AND M.CDCAIXA    = V.CDCAIXA\n"
                        "   AND M.NRSEQVENDA = V.NRSEQVENDA\n"
                        "   AND V.IDIMPVENDA = 'I'\n"
                        "   AND V.IDSITUVENDA   <> 'P'\n"
                        "   AND ((:P_DTMOVIM = 'T') OR (CONVERT(VARCHAR,M.DTMOVIMCAIXA,103) = "
                        ":P_DTMOVIM))\n"
                        "   AND DATEDIFF(mi,ISNULL(V.DTINSERCAO,V.DTFECHAVENDA),GETDATE()) >= 2\n"
                        "   AND V.NRSEQVENDA BETWEEN :P_NRSEQVENDAINI AND :P_NRSEQVENDAFIN\n"
                        "UNION\n"
                        "SELECT M.*\n"
                        "  FROM MOVCAIXA M, VENDA V\n"
                        " WHERE M.CDFILIAL   = :P_CDFILIAL\n"
                        "   AND M.CDCAIXA    = :P_CDCAIXA\n"
                        "   AND M.CDFILIAL   = V.CDFILIAL\n"
                        "   AND M.CDCAIXA    = V.CDCAIXA\n"
                        "   AND M.NRSEQVENDA = V.NRSEQVENDA\n"
                        "   AND V.IDIMPVENDA = 'A'\n"
                        "   AND V.IDSITUVENDA   <> 'P'\n"
                        "   AND M.IDALTERTIPORECE = 'S'\n"
                        "   AND ((:P_DTMOVIM = 'T') OR (CONVERT(VARCHAR,M.DTMOVIMCAIXA,103) = "
                        ":P_DTMOVIM))\n"
                        "   AND V.NRSEQVENDA BETWEEN :P_NRSEQVENDAINI AND :P_NRSEQVENDAFIN\n"
                        "ORDER BY M.DTABERCAIX, M.NRSEQUMOVI"));

    // SQLite: without statistics the planner looks the extracts without a
    // sale up by IX_EXTRATOCONS_SALE (NRSEQVENDA IS NULL), which holds every
    // such extract ever exported; the partial index holds only the waiting
    // ones, so the first half names it.
    static constexpr std::string_view kExtratoCons =
        "SELECT E.*\n"
        "  FROM EXTRATOCONS E, TURCAIXA T\n"
        " WHERE (E.CDFILIAL   = :P_CDFILIAL )\n"
        "   AND (E.CDCAIXA    = :P_CDCAIXA  )\n"
        "   AND (E.CDFILIAL   = T.CDFILIAL  )\n"
        "   AND (E.CDCAIXA    = T.CDCAIXA   )\n"
        "   AND (E.DTABERCAIX = T.DTABERCAIX)\n"
        "   AND (E.IDIMPEXTRATO <> 'S'      )\n"
        "   AND (E.NRSEQVENDA IS NULL       )\n"
        "   AND ((:P_DTMOVIM = 'T') OR (CONVERT(VARCHAR,T.DTMOVTURCAIX,103) = "
        ":P_DTMOVIM))\n"
        "UNION\n"
        "SELECT E.*\n"
        "  FROM EXTRATOCONS E, VENDA V\n"
        " WHERE (E.CDFILIAL   = :P_CDFILIAL )\n"
        "   AND (E.CDCAIXA    = :P_CDCAIXA  )\n"
        "   AND (E.CDFILIAL   = V.CDFILIAL  )\n"
        "   AND (E.CDCAIXA    = V.CDCAIXA   )\n"
        "   AND (E.NRSEQVENDA = V.NRSEQVENDA)\n"
        "   AND (E.DTABERCAIX = V.DTABERTUR )\n"
        "   AND (V.IDSITUVENDA  <> 'P'      )\n"
        "   AND (V.IDIMPVENDA   <> 'S'      )\n"
        "   AND ((:P_DTMOVIM = 'T') OR (CONVERT(VARCHAR,V.DTENTRVENDA,103) = "
        ":P_DTMOVIM))\n"
        "   AND DATEDIFF(mi,ISNULL(V.DTINSERCAO,V.DTFECHAVENDA),GETDATE()) >= 2\n"
        "   AND V.NRSEQVENDA BETWEEN :P_NRSEQVENDAINI AND :P_NRSEQVENDAFIN";
    std::string extratoConsSqlite(sqliteOf(kExtratoCons));
    const std::string_view firstFrom = "FROM EXTRATOCONS E, TURCAIXA T";
    extratoConsSqlite.replace(extratoConsSqlite.find(firstFrom), firstFrom.size(),
                              "FROM EXTRATOCONS E INDEXED BY IX_EXTRATOCONS_EXPORT, TURCAIXA T");
    out.push_back(query("adqCliEXTRATOCONS", saleParams(), kExtratoCons,
                        persist(std::move(extratoConsSqlite))));

    out.push_back(query("adqCliExtratoConsPend", saleParams(),
                        "SELECT E.*\n"
                        "  FROM EXTRATOCONS E, VENDA V\n"
                        " WHERE (E.CDFILIAL   = :P_CDFILIAL )\n"
                        "   AND (E.CDCAIXA    = :P_CDCAIXA  )\n"
                        "   AND (E.CDFILIAL   = V.CDFILIAL  )\n"
                        "   AND (E.CDCAIXA    = V.CDCAIXA   )\n"
                        "   AND (E.NRSEQVENDA = V.NRSEQVENDA)\n"
                        "   AND (V.IDIMPVENDA = 'S'         )\n"
                        "   AND (E.IDIMPEXTRATO <> 'S'      )\n"
                        "   AND (V.IDSITUVENDA  <> 'P'      )\n"
                        "   AND ((:P_DTMOVIM = 'T') OR (CONVERT(VARCHAR,V.DTENTRVENDA,103) = "
                        ":P_DTMOVIM))\n"
                        "   AND DATEDIFF(mi,ISNULL(V.DTINSERCAO,V.DTFECHAVENDA),GETDATE()) >= 2\n"
                        "   AND V.NRSEQVENDA BETWEEN :P_NRSEQVENDAINI AND :P_NRSEQVENDAFIN"));

    out.push_back(query("adqCliEstornovnd", saleParams(),
                        persist("SELECT E.*, V.DTABERTUR\n"
                                "  FROM ESTORNOVND E, VENDA V\n"
                                " WHERE E.CDFILIAL   = :P_CDFILIAL\n"
                                "   AND E.CDCAIXA    = :P_CDCAIXA\n"
                                "   AND E.CDFILIAL   = V.CDFILIAL\n"
                                "   AND E.CDCAIXA    = V.CDCAIXA\n"
                                "   AND E.NRSEQVENDA = V.NRSEQVENDA\n"
                                "   AND E.IDIMPESTVND <> 'S'\n" +
                                std::string(kSaleDayRule) + std::string(kSaleAgeRule) +
                                std::string(kRefundWindowRule) + "\nORDER BY E.NRSEQVENDA")));

    out.push_back(
        query("adqCliITFIDELIDADE", saleParams(),
              persist("SELECT I.*\n"
                      "  FROM ITFIDELIDADE I, VENDA V\n"
                      " WHERE (V.CDFILIAL   = :P_CDFILIAL )\n"
                      "   AND (V.CDCAIXA    = :P_CDCAIXA  )\n"
                      "   AND (I.CDFILIAL   = V.CDFILIAL  )\n"
                      "   AND (I.CDCAIXA    = V.CDCAIXA   )\n"
                      "   AND (I.NRSEQVENDA = V.NRSEQVENDA)\n"
                      "   AND (V.IDIMPVENDA  <> 'S'       )\n"
                      "   AND (V.IDSITUVENDA <> 'P'       )\n"
                      "   AND (I.IDIMPTFIDEL <> 'S'       )\n" +
                      std::string(kSaleDayRule) + std::string(kSaleAgeRule) +
                      std::string(kSaleWindowRule) + "\nORDER BY I.NRSEQVENDA, I.NRSEQUITVEND")));

    // Benefit movements go with a new sale of the window, whatever its day and age.
    out.push_back(
        query("adqCliMovBeneficioCons",
              {storeParam(), stationParam(), text("P_NRSEQVENDAINI"), text("P_NRSEQVENDAFIN")},
              persist("SELECT M.*\n"
                      "  FROM MOVBENEFICIOCONS M, VENDA V\n"
                      " WHERE V.CDFILIAL   = :P_CDFILIAL\n"
                      "   AND V.CDCAIXA    = :P_CDCAIXA\n"
                      "   AND M.CDFILIAL   = V.CDFILIAL\n"
                      "   AND M.CDCAIXA    = V.CDCAIXA\n"
                      "   AND M.NRSEQVENDA = V.NRSEQVENDA\n"
                      "   AND V.IDIMPVENDA = 'I'\n"
                      "   AND V.IDSITUVENDA <> 'P'\n" +
                      std::string(kSaleWindowRule) + "\nORDER BY M.NRSEQBENECONS")));

    out.push_back(query("adqCliLogNfce", saleParams(),
                        persist("SELECT L.*\n"
                                "  FROM LOGNFCE L, VENDA V\n"
                                " WHERE V.CDFILIAL   = :P_CDFILIAL\n"
                                "   AND V.CDCAIXA    = :P_CDCAIXA\n"
                                "   AND L.CDFILIAL   = V.CDFILIAL\n"
                                "   AND L.CDCAIXA    = V.CDCAIXA\n"
                                "   AND L.NRSEQVENDA = V.NRSEQVENDA\n"
                                "   AND V.IDSITUVENDA <> 'P'\n"
                                "   AND V.IDIMPVENDA <> 'S'\n" +
                                std::string(kSaleDayRule) + std::string(kSaleAgeRule) +
                                std::string(kSaleWindowRule) + "\nORDER BY L.NRSEQVENDA")));

    // Operator log: rows without a sale by their own flag, rows of a new sale
    // with the sale.
    out.push_back(query("adqCliLOGOPERQEL", saleParams(),
                        persist("SELECT L.*\n"
                                "  FROM LOGOPERQEL L\n"
                                " WHERE L.CDFILIAL = :P_CDFILIAL\n"
                                "   AND L.CDCAIXA  = :P_CDCAIXA\n"
                                "   AND L.IDIMPLOGOPERQEL <> 'S'\n"
                                "   AND L.NRSEQVENDA IS NULL\n"
                                "UNION ALL\n"
                                "SELECT L.*\n"
                                "  FROM LOGOPERQEL L, VENDA V\n"
                                " WHERE L.CDFILIAL   = :P_CDFILIAL\n"
                                "   AND L.CDCAIXA    = :P_CDCAIXA\n"
                                "   AND L.CDFILIAL   = V.CDFILIAL\n"
                                "   AND L.CDCAIXA    = V.CDCAIXA\n"
                                "   AND L.NRSEQVENDA = V.NRSEQVENDA\n"
                                "   AND V.IDIMPVENDA = 'I'\n"
                                "   AND V.IDSITUVENDA <> 'P'\n" +
                                std::string(kSaleDayRule) + std::string(kSaleAgeRule) +
                                std::string(kSaleWindowRule) + "\nORDER BY CDFILIAL, CDCAIXA")));
}

}  // namespace qel::definitions::detail
