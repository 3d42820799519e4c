// The acknowledgement routines that depart from the common rule: consumers
// (with the central password row), operator logs (every row), orders
// (deleted), shifts (flag chosen from the local shift) and blocked products
// (only counted).

#include <string>

#include "ack/acknowledgement.h"
#include "ack/sent_row_times.h"
#include "definitions/statement.h"
#include "export/data_module.h"
#include "selection/catalogue.h"

namespace qel::agent {

// The local consumer row is flagged inside the routine's transaction; when
// the store keeps its passwords centrally, the central password row is
// flagged on the central connection, outside that transaction, so a later
// rollback of the routine leaves it flagged.
void TdtmExportaVenda::AtualizaMSDEConsumidor() {
    runAcknowledgement(*this, "AtualizaMSDEConsumidor", [this] {
        const definitions::Statement& local = definitions::statement("acmUpdConsumidor");
        const definitions::Statement& centralRow = definitions::statement("acmUpdConsCentral");
        Dataset& ret = results.cdsRetConsumidor;
        forEachOkRow(ret, [&] {
            adcCaixa.execute(local, paramsFromRow(local, ret));
            GravaLog("Execute do acmUpdConsumidor");
            if (central.isCentral()) {
                adcBancoCentral.execute(centralRow, paramsFromRow(centralRow, ret));
                GravaLog("Execute do acmUpdConsCentral");
            }
        });
    });
}

// Every returned operator-log row is flagged, whatever its verdict. The
// verdict names the row by its time without milliseconds, which would also
// match a row written in the same second after the selection: never sent,
// it would be flagged and later deleted by the cleanup. So each verdict row
// flags the rows of this transfer's own operator-log packet it names, each
// by its exact time.
void TdtmExportaVenda::AtualizaMSDELogOperQel() {
    runAcknowledgement(*this, "AtualizaMSDELogOperQel", [this] {
        const definitions::Statement& command = definitions::statement("acmUpdLogOperQelExato");
        const SentRowTimes sent(PacotesExportacao, kOperatorLogEntry,
                                {"CDFILIAL", "CDCAIXA", "IDOPERQEL", "CDOPERRESPOP"},
                                "DTHROPERQEL");
        Dataset& ret = results.cdsRetLogOperQel;
        for (ret.first(); !ret.eof(); ret.next()) {
            for (const DateTime& exact : sent.times(ret)) {
                adcCaixa.execute(command,
                                 paramsFromRow(command, ret, {{"P_DTHROPERQEL", Variant(exact)}}));
            }
            GravaLog("Execute do acmUpdLogOperQel");
        }
    });
}

// An order the server stored is deleted locally; its items follow it on the
// server's side.
void TdtmExportaVenda::AtualizaMSDEPedidoQel() {
    runAcknowledgement(*this, "AtualizaMSDEPedidoQel", [this] {
        const definitions::Statement& command = definitions::statement("acmDelPedidoQel");
        Dataset& ret = results.cdsRetPedidoQel;
        forEachOkRow(ret, [&] {
            adcCaixa.execute(command, paramsFromRow(command, ret));
            GravaLog("Execute do acmDelPedidoQel: " + ret.field("NRPEDIDOQEL").asString());
        });
    });
}

// A shift goes out twice: when first seen ("I" becomes "A") and once all its
// sales are out ("A" becomes "S"). The choice follows the local shift as it
// is now, not the row that was sent; a shift no longer found becomes "S".
void TdtmExportaVenda::AtualizaMSDETurCaixa() {
    runAcknowledgement(*this, "AtualizaMSDETurCaixa", [this] {
        const definitions::Statement& verify = definitions::statement("adqVerifTurcaixa");
        const definitions::Statement& command = definitions::statement("acmUpdTurCaixa");
        Dataset& ret = results.cdsRetTurCaixa;
        forEachOkRow(ret, [&] {
            const Dataset shift = adcCaixa.query(verify, paramsFromRow(verify, ret));
            const std::string localFlag =
                shift.isEmpty() ? std::string() : shift.field("IDATUTURCAIXA").asString();
            const bool firstSeen = localFlag == "I";
            adcCaixa.execute(command,
                             paramsFromRow(command, ret,
                                           {{"P_IDATUTURCAIXA", Variant(firstSeen ? "A" : "S")},
                                            {"P_DATAEXPORTA", Variant(clock().today())}}));
            GravaLog(firstSeen ? "Execute do acmUpdTurCaixa - status A"
                               : "Execute do acmUpdTurCaixa  - status S");
        });
    });
}

// Blocked products are sent whole at every transfer and never flagged; only
// the number of rows the server stored is reported.
void TdtmExportaVenda::AtualizaMSDEProdBloqVndTaa() {
    runAcknowledgement(*this, "AtualizaMSDEProdBloqVndTaa", [this] {
        Dataset& ret = results.cdsRetProdBloqVndTaa;
        if (ret.isEmpty()) return;
        int stored = 0;
        forEachOkRow(ret, [&] { ++stored; });
        GravaLog("cdsRetProdBloqVndTaa quantidade OK : " + std::to_string(stored));
    });
}

}  // namespace qel::agent
