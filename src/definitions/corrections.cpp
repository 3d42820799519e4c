// Statements of the corrections made before a station's data is read:
// cancelled sales without a fiscal status, SAT sales cancelled locally but
// accepted by the tax authority, and the recomputation of item taxes.

#include "definitions/statement_builders.h"

namespace qel::definitions::detail {

void addCorrectionStatements(std::vector<Statement>& out) {
    // SQLite: the waiting sales are few, so they are reached through the
    // export index (named, and their flag marked unlikely) instead of by
    // reading every sale of the station's history, whatever the statistics
    // of a large station make the planner prefer.
    out.push_back(command("acmUpdVendasSemStatus", {text("CDFILIAL"), text("CDCAIXA")},
                          "UPDATE VENDA\n"
                          "SET IDSTATUSNFCE = 'R'\n"
                          "WHERE CDFILIAL = :CDFILIAL\n"
                          "AND CDCAIXA = :CDCAIXA\n"
                          "AND IDIMPVENDA IN ('I','A')\n"
                          "AND IDTPEMISVEND IN ('S','N')\n"
                          "AND IDSTATUSNFCE IS NULL\n"
                          "AND IDSITUVENDA = 'C'",
                          "UPDATE VENDA INDEXED BY IX_VENDA_EXPORT\n"
                          "SET IDSTATUSNFCE = 'R'\n"
                          "WHERE CDFILIAL = :CDFILIAL\n"
                          "AND CDCAIXA = :CDCAIXA\n"
                          "AND unlikely(IDIMPVENDA IN ('I','A'))\n"
                          "AND IDTPEMISVEND IN ('S','N')\n"
                          "AND IDSTATUSNFCE IS NULL\n"
                          "AND IDSITUVENDA = 'C'"));
    out.push_back(query("adqVendasCancAceitas", {storeParam(), stationParam()},
                        "SELECT CDFILIAL, CDCAIXA, NRSEQVENDA\n"
                        "FROM VENDA\n"
                        "WHERE CDFILIAL = :P_CDFILIAL\n"
                        "AND CDCAIXA = :P_CDCAIXA\n"
                        "AND IDTPEMISVEND = 'S'\n"
                        "AND IDSITUVENDA = 'C'\n"
                        "AND IDSTATUSNFCE = 'A'\n"
                        "AND NRACESSOCANC IS NULL\n"
                        "AND IDIMPVENDA IN ('I','A')",
                        "SELECT CDFILIAL, CDCAIXA, NRSEQVENDA\n"
                        "FROM VENDA INDEXED BY IX_VENDA_EXPORT\n"
                        "WHERE CDFILIAL = :P_CDFILIAL\n"
                        "AND CDCAIXA = :P_CDCAIXA\n"
                        "AND IDTPEMISVEND = 'S'\n"
                        "AND IDSITUVENDA = 'C'\n"
                        "AND IDSTATUSNFCE = 'A'\n"
                        "AND NRACESSOCANC IS NULL\n"
                        "AND unlikely(IDIMPVENDA IN ('I','A'))"));

    const std::vector<Param> saleKey = {text("CDFILIAL"), text("CDCAIXA"), text("NRSEQVENDA")};
    out.push_back(command("acmUpdVendaCanc", saleKey,
                          "UPDATE VENDA\n"
                          "SET IDSITUVENDA = 'O'\n"
                          "WHERE CDFILIAL = :CDFILIAL\n"
                          "AND CDCAIXA = :CDCAIXA\n"
                          "AND NRSEQVENDA = :NRSEQVENDA"));
    out.push_back(command("acmUpdMovCaixaCanc", saleKey,
                          "UPDATE MOVCAIXA\n"
                          "SET IDTIPOMOVIVE = 'E'\n"
                          "WHERE CDFILIAL = :CDFILIAL\n"
                          "AND CDCAIXA = :CDCAIXA\n"
                          "AND NRSEQVENDA = :NRSEQVENDA"));
    // The sale's total from its items (each product truncated to cents), the
    // sum of its cash movements and half their excess over the total. No row
    // when the sale has no movement. SQLite divides by 2.0 so that an integral
    // stored amount is not divided as an integer, and rounds the sums to the
    // precision of the data to drop the noise of binary arithmetic.
    out.push_back(query(
        "adqVendaCanc", {storeParam(), stationParam(), text("P_NRSEQVENDA")},
        "SELECT I.VRVENDA, SUM(M.VRMOVIVEND) AS VRMOVCAIXA,\n"
        "       ((SUM(M.VRMOVIVEND) - I.VRVENDA) / 2) AS VRDIF\n"
        "  FROM (SELECT IT.CDFILIAL, IT.CDCAIXA, IT.NRSEQVENDA,\n"
        "               SUM(ROUND(IT.QTPRODVEND * (IT.VRUNITVEND + ISNULL(IT.VRUNITVENDCL,0)),2,1) "
        "- ISNULL(IT.VRDESITVEND,0) + ISNULL(IT.VRACRITVEND,0)) AS VRVENDA\n"
        "          FROM ITEMVENDA IT\n"
        "         WHERE IT.CDFILIAL = :P_CDFILIAL\n"
        "           AND IT.CDCAIXA = :P_CDCAIXA\n"
        "           AND IT.NRSEQVENDA = :P_NRSEQVENDA\n"
        "         GROUP BY IT.CDFILIAL, IT.CDCAIXA, IT.NRSEQVENDA) I, MOVCAIXA M\n"
        " WHERE M.CDFILIAL = I.CDFILIAL\n"
        "   AND M.CDCAIXA = I.CDCAIXA\n"
        "   AND M.NRSEQVENDA = I.NRSEQVENDA\n"
        " GROUP BY I.VRVENDA",
        "SELECT I.VRVENDA, ROUND(SUM(M.VRMOVIVEND), 4) AS VRMOVCAIXA,\n"
        "       ROUND((SUM(M.VRMOVIVEND) - I.VRVENDA) / 2.0, 6) AS VRDIF\n"
        "  FROM (SELECT IT.CDFILIAL, IT.CDCAIXA, IT.NRSEQVENDA,\n"
        "               ROUND(SUM(ROUND_TRUNC(IT.QTPRODVEND * (IT.VRUNITVEND + "
        "IFNULL(IT.VRUNITVENDCL,0)),2) - IFNULL(IT.VRDESITVEND,0) + IFNULL(IT.VRACRITVEND,0)), 4) "
        "AS VRVENDA\n"
        "          FROM ITEMVENDA IT\n"
        "         WHERE IT.CDFILIAL = :P_CDFILIAL\n"
        "           AND IT.CDCAIXA = :P_CDCAIXA\n"
        "           AND IT.NRSEQVENDA = :P_NRSEQVENDA\n"
        "         GROUP BY IT.CDFILIAL, IT.CDCAIXA, IT.NRSEQVENDA) I, MOVCAIXA M\n"
        " WHERE M.CDFILIAL = I.CDFILIAL\n"
        "   AND M.CDCAIXA = I.CDCAIXA\n"
        "   AND M.NRSEQVENDA = I.NRSEQVENDA\n"
        " GROUP BY I.VRVENDA"));
    out.push_back(
        command("acmUpdMovCaixaSaida",
                {text("CDFILIAL"), text("CDCAIXA"), text("NRSEQVENDA"), floating("VRMOVIVEND")},
                "UPDATE MOVCAIXA\n"
                "SET IDTIPOMOVIVE = 'S'\n"
                "WHERE CDFILIAL = :CDFILIAL\n"
                "AND CDCAIXA = :CDCAIXA\n"
                "AND NRSEQVENDA = :NRSEQVENDA\n"
                "AND VRMOVIVEND = :VRMOVIVEND"));

    // The items of one sale with the rates the tax recomputation needs: the
    // rate and base of each item's first tax line, the one it rewrites (a
    // second line's rate must not be written into the first).
    out.push_back(
        query("adqVenda", {text("P_NRSEQVENDA"), storeParam(), stationParam()},
              "SELECT IT.NRSEQVENDA, IT.NRSEQUITVEND, IT.QTPRODVEND, IT.VRUNITVEND,\n"
              "       IT.VRUNITVENDCL, IT.VRACRITVEND, IT.VRDESITVEND, IP.VRBCPISCOFINS,\n"
              "       IP.VRPEALPRODIT, AL.VRPERCREDUCAO, AL.VRALIQPIS, AL.VRALIQCOFINS\n"
              "  FROM ITEMVENDA IT, ALIQIMPFIS AL, PRODUTO PR, FILIAL FI, VENDA VE,\n"
              "       ITVENDAIMPOS IP\n"
              " WHERE VE.NRSEQVENDA = :P_NRSEQVENDA\n"
              "   AND VE.CDFILIAL = :P_CDFILIAL\n"
              "   AND VE.CDCAIXA = :P_CDCAIXA\n"
              "   AND IT.CDFILIAL = VE.CDFILIAL\n"
              "   AND IT.CDCAIXA = VE.CDCAIXA\n"
              "   AND IT.NRSEQVENDA = VE.NRSEQVENDA\n"
              "   AND AL.CDFILIAL = IT.CDFILIAL\n"
              "   AND AL.CDPRODUTO = IT.CDPRODUTO\n"
              "   AND IT.CDPRODUTO = PR.CDPRODUTO\n"
              "   AND VE.CDFILIAL = FI.CDFILIAL\n"
              "   AND IP.CDFILIAL = IT.CDFILIAL\n"
              "   AND IP.CDCAIXA = IT.CDCAIXA\n"
              "   AND IP.NRSEQVENDA = IT.NRSEQVENDA\n"
              "   AND IP.NRSEQUITVEND = IT.NRSEQUITVEND\n"
              "   AND IP.NRSEQITIMPOS = '001'\n"
              "ORDER BY IT.NRSEQVENDA, IT.NRSEQUITVEND"));

    // Sales waiting for export whose stored ICMS value of an item differs from
    // the value computed from the item: truncated for emission type 'N',
    // rounded for 'S'.
    out.push_back(query(
        "adqAjuItVendaImpos", {storeParam(), stationParam()},
        "SELECT DISTINCT VE.CDFILIAL,VE.CDCAIXA,VE.NRSEQVENDA\n"
        "  FROM VENDA VE, ITEMVENDA IT, ITVENDAIMPOS IP, IMPOSTO IM\n"
        " WHERE VE.CDFILIAL = :P_CDFILIAL\n"
        "   AND VE.CDCAIXA = :P_CDCAIXA\n"
        "   AND VE.IDTPEMISVEND IN ('N','S')\n"
        "   AND VE.IDSITUVENDA <> 'P'\n"
        "   AND VE.IDIMPVENDA IN ('I','A')\n"
        "   AND IT.CDFILIAL = VE.CDFILIAL AND IT.CDCAIXA = VE.CDCAIXA AND IT.NRSEQVENDA = "
        "VE.NRSEQVENDA\n"
        "   AND IP.CDFILIAL = IT.CDFILIAL AND IP.CDCAIXA = IT.CDCAIXA AND IP.NRSEQVENDA = "
        "IT.NRSEQVENDA AND IP.NRSEQUITVEND = IT.NRSEQUITVEND\n"
        "   AND IM.CDIMPOSTO = IP.CDIMPOSTO\n"
        "   AND IM.IDTPIMPOSFIS <> 'S'\n"
        "   AND IM.CDIMPOSTONFE IN ('00','80')\n"
        "   AND ((VE.IDTPEMISVEND = 'N' AND IP.VRIMPOPRODIT <> "
        "ROUND((ROUND(IT.QTPRODVEND * (IT.VRUNITVEND+ISNULL(IT.VRUNITVENDCL,0)),2,1) - "
        "ISNULL(IT.VRDESITVEND,0) + ISNULL(IT.VRACRITVEND,0)) * (IP.VRPEALPRODIT/100),2,1))\n"
        "     OR (VE.IDTPEMISVEND = 'S' AND IP.VRIMPOPRODIT <> "
        "ROUND((ROUND(IT.QTPRODVEND * (IT.VRUNITVEND+ISNULL(IT.VRUNITVENDCL,0)),2,1) - "
        "ISNULL(IT.VRDESITVEND,0) + ISNULL(IT.VRACRITVEND,0)) * (IP.VRPEALPRODIT/100),2)))",
        // On a station whose statistics say every sale is exported, the
        // planner would otherwise walk all the station's sales by key.
        "SELECT DISTINCT VE.CDFILIAL,VE.CDCAIXA,VE.NRSEQVENDA\n"
        "  FROM VENDA VE INDEXED BY IX_VENDA_EXPORT, ITEMVENDA IT, ITVENDAIMPOS IP, IMPOSTO IM\n"
        " WHERE VE.CDFILIAL = :P_CDFILIAL\n"
        "   AND VE.CDCAIXA = :P_CDCAIXA\n"
        "   AND VE.IDTPEMISVEND IN ('N','S')\n"
        "   AND VE.IDSITUVENDA <> 'P'\n"
        "   AND unlikely(VE.IDIMPVENDA IN ('I','A'))\n"
        "   AND IT.CDFILIAL = VE.CDFILIAL AND IT.CDCAIXA = VE.CDCAIXA AND IT.NRSEQVENDA = "
        "VE.NRSEQVENDA\n"
        "   AND IP.CDFILIAL = IT.CDFILIAL AND IP.CDCAIXA = IT.CDCAIXA AND IP.NRSEQVENDA = "
        "IT.NRSEQVENDA AND IP.NRSEQUITVEND = IT.NRSEQUITVEND\n"
        "   AND IM.CDIMPOSTO = IP.CDIMPOSTO\n"
        "   AND IM.IDTPIMPOSFIS <> 'S'\n"
        "   AND IM.CDIMPOSTONFE IN ('00','80')\n"
        "   AND ((VE.IDTPEMISVEND = 'N' AND IP.VRIMPOPRODIT <> "
        "ROUND_TRUNC((ROUND_TRUNC(IT.QTPRODVEND * (IT.VRUNITVEND+IFNULL(IT.VRUNITVENDCL,0)),2) - "
        "IFNULL(IT.VRDESITVEND,0) + IFNULL(IT.VRACRITVEND,0)) * (IP.VRPEALPRODIT/100.0),2))\n"
        "     OR (VE.IDTPEMISVEND = 'S' AND IP.VRIMPOPRODIT <> "
        "ROUND_HALF((ROUND_TRUNC(IT.QTPRODVEND * (IT.VRUNITVEND+IFNULL(IT.VRUNITVENDCL,0)),2) - "
        "IFNULL(IT.VRDESITVEND,0) + IFNULL(IT.VRACRITVEND,0)) * (IP.VRPEALPRODIT/100.0),2)))"));

    out.push_back(
        command("acmUpdImpItem",
                {floating("VRIMPOPRODIT"), floating("VRBASECALCICMS"), floating("VRBASECALCREDUZ"),
                 floating("VRIMPOPRODREDUZ"), floating("VRBCREDUZICMS"), floating("VRIMPPIS"),
                 floating("VRIMPCOFINS"), floating("VRBCPISCOFINS"), text("CDFILIAL"),
                 text("CDCAIXA"), text("NRSEQVENDA"), text("NRSEQUITVEND"), text("NRSEQITIMPOS")},
                "UPDATE ITVENDAIMPOS\n"
                "SET VRIMPOPRODIT = :VRIMPOPRODIT,\n"
                "VRBASECALCICMS = :VRBASECALCICMS,\n"
                "VRBASECALCREDUZ = :VRBASECALCREDUZ,\n"
                "VRIMPOPRODREDUZ = :VRIMPOPRODREDUZ,\n"
                "VRBCREDUZICMS = :VRBCREDUZICMS,\n"
                "VRIMPPIS = :VRIMPPIS,\n"
                "VRIMPCOFINS = :VRIMPCOFINS,\n"
                "VRBCPISCOFINS = :VRBCPISCOFINS\n"
                "WHERE CDFILIAL = :CDFILIAL\n"
                "AND CDCAIXA = :CDCAIXA\n"
                "AND NRSEQVENDA = :NRSEQVENDA\n"
                "AND NRSEQUITVEND = :NRSEQUITVEND\n"
                "AND NRSEQITIMPOS = :NRSEQITIMPOS"));
}

}  // namespace qel::definitions::detail
