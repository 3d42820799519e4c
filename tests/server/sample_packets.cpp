#include "sample_packets.h"

#include <memory>

#include "core/dataset.h"

namespace qel::testing {
namespace {

using F = FieldType;

FieldDef S(const char* name, int size = 10) {
    return {name, F::String, size, 0};
}
FieldDef I(const char* name) {
    return {name, F::Integer, 0, 0};
}
FieldDef D(const char* name) {
    return {name, F::Decimal, 0, 2};
}
FieldDef Fl(const char* name) {
    return {name, F::Float, 0, 0};
}
FieldDef DT(const char* name) {
    return {name, F::DateTime, 0, 0};
}
FieldDef Da(const char* name) {
    return {name, F::Date, 0, 0};
}

// A function, not a constant: namespace-scope initialisation order across files is unspecified.
DateTime base() {
    return DateTime::fromDateTime(2026, 12, 6, 9, 52, 13, 250);
}

// Prefix and number; spelled out because GCC 12 misreports "x" + to_string() at -O3.
std::string text(const char* prefix, std::size_t number) {
    std::string out(prefix);
    out += std::to_string(number);
    return out;
}

// Columns a real table has beyond its keys: money, quantities, codes, texts.
void filler(std::vector<FieldDef>& f, int count) {
    for (int i = 0; i < count; ++i) {
        const std::string n = text("COL", static_cast<std::size_t>(i));
        switch (i % 4) {
            case 0:
                f.push_back({"VR" + n, F::Decimal, 0, 2});
                break;
            case 1:
                f.push_back({"QT" + n, F::Float, 0, 0});
                break;
            case 2:
                f.push_back({"CD" + n, F::String, 12, 0});
                break;
            default:
                f.push_back({"ID" + n, F::String, 1, 0});
                break;
        }
    }
}

void fillRow(Row& row, std::size_t from, const std::vector<FieldDef>& f, int seed) {
    for (std::size_t i = from; i < f.size(); ++i) {
        switch (f[i].type) {
            case F::Decimal:
                row.emplace_back(Decimal{1999 + seed * 7 + static_cast<int>(i), 2});
                break;
            case F::Float:
                row.emplace_back(seed % 3 == 0 ? 1.0 : 0.5 + seed);
                break;
            case F::String:
                row.emplace_back(f[i].size == 1
                                     ? std::string("S")
                                     : text("PRD", static_cast<std::size_t>(seed) * 31 + i));
                break;
            default:
                row.push_back(Variant::null());
                break;
        }
    }
}

Variant packet(Dataset ds) {
    return Variant(std::make_shared<const Dataset>(std::move(ds)));
}

}  // namespace

VariantArray samplePacketArray(int sales, const std::string& store, const std::string& station) {
    const DateTime kBase = base();
    VariantArray a(47);
    // Every table starts as an empty packet with one key column.
    for (auto& e : a) e = packet(Dataset({S("CDFILIAL", 4)}));
    a[25] = Variant(kBase.addDays(-1));
    a[26] = Variant(DateTime(0.0));

    std::vector<FieldDef> venda = {S("CDFILIAL", 4),
                                   S("CDCAIXA", 3),
                                   S("NRSEQVENDA", 12),
                                   S("IDSITUVENDA", 1),
                                   S("CDVENDEDOR", 10),
                                   S("IDENVIOFID4ALL", 1),
                                   S("IDENVIOFIDUDS", 1),
                                   DT("DTABERTUR"),
                                   Da("DTENTRVENDA"),
                                   S("NMCLIENTE", 40),
                                   {"IDCANCEL", F::Boolean, 0, 0},
                                   {"XMLNFCE", F::Blob, 0, 0},
                                   I("NRITENS")};
    filler(venda, 22);
    std::vector<FieldDef> item = {S("CDFILIAL", 4), S("CDCAIXA", 3), S("NRSEQVENDA", 12),
                                  S("NRSEQUITVEND", 4), S("CDPRODUTO", 14)};
    filler(item, 20);
    std::vector<FieldDef> imposto = {S("CDFILIAL", 4), S("CDCAIXA", 3), S("NRSEQVENDA", 12),
                                     S("NRSEQITIMPOS", 4)};
    filler(imposto, 8);
    std::vector<FieldDef> mov = {S("CDFILIAL", 4), S("CDCAIXA", 3), DT("DTABERCAIX"),
                                 S("NRSEQUMOVI", 8), S("NRSEQVENDA", 12)};
    filler(mov, 10);
    std::vector<FieldDef> extrato = {
        S("CDFILIAL", 4),     S("CDCAIXA", 3),    S("CDCLIENTE", 21), S("CDCONSUMIDOR", 21),
        S("CDFAMILISALD", 4), DT("DTMOVEXTCONS"), S("NRSEQMOVEXT", 8)};
    filler(extrato, 6);
    std::vector<FieldDef> lognfce = {S("CDFILIAL", 4), S("CDCAIXA", 3), S("NRSEQVENDA", 12),
                                     S("NRSEQLOGNFCE", 4), S("DSLOG", 200)};
    std::vector<FieldDef> moviclie = {S("CDCLIENTE", 21), S("NRSEQMOVCLI", 10), S("CDFILIAL", 4),
                                      S("CDCAIXA", 3),    S("NRSEQVENDA", 12),  D("VRMOVCLIE")};

    Dataset dVenda(venda), dItem(item), dImposto(imposto), dMov(mov), dExtrato(extrato),
        dLog(lognfce), dMoviClie(moviclie);
    for (int s = 0; s < sales; ++s) {
        const std::string seq = std::to_string(100000 + s);
        const DateTime opened = kBase.addMinutes(s);
        Row v = {Variant(store),
                 Variant(station),
                 Variant(seq),
                 Variant("F"),
                 Variant("V01"),
                 Variant("N"),
                 Variant("N"),
                 Variant(opened),
                 Variant(opened.date()),
                 Variant("José da Conceição"),
                 Variant(false),
                 Variant(Bytes{0x3C, 0x4E, 0x46}),
                 Variant(10)};
        fillRow(v, v.size(), venda, s);
        dVenda.append(std::move(v));
        for (int i = 0; i < 10; ++i) {
            Row r = {Variant(store), Variant(station), Variant(seq), Variant(std::to_string(i + 1)),
                     Variant(text("7891000", static_cast<std::size_t>(s * 10 + i)))};
            fillRow(r, r.size(), item, s * 10 + i);
            dItem.append(std::move(r));
        }
        for (int i = 0; i < 5; ++i) {
            Row r = {Variant(store), Variant(station), Variant(seq),
                     Variant(std::to_string(i + 1))};
            fillRow(r, r.size(), imposto, s + i);
            dImposto.append(std::move(r));
        }
        Row m = {Variant(store), Variant(station), Variant(kBase.date().addDays(0.25)),
                 Variant(std::to_string(s + 1)), Variant(seq)};
        fillRow(m, m.size(), mov, s);
        dMov.append(std::move(m));
        Row e = {Variant(store),
                 Variant(station),
                 Variant(text("CLI", static_cast<std::size_t>(s % 7))),
                 Variant(station + text("C", static_cast<std::size_t>(s))),
                 Variant("01"),
                 Variant(opened),
                 Variant(std::to_string(s + 1))};
        fillRow(e, e.size(), extrato, s);
        dExtrato.append(std::move(e));
        dLog.append({Variant(store), Variant(station), Variant(seq), Variant("1"),
                     Variant("Autorizado o uso da NF-e")});
        dMoviClie.append({Variant(text("CLI", static_cast<std::size_t>(s % 7))),
                          Variant(station + std::to_string(s + 1)), Variant(store),
                          Variant(station), Variant(seq), Variant(Decimal{-1050, 2})});
    }
    a[16] = packet(std::move(dVenda));
    a[18] = packet(std::move(dItem));
    a[19] = packet(std::move(dImposto));
    a[22] = packet(std::move(dMov));
    a[17] = packet(std::move(dExtrato));
    a[41] = packet(std::move(dLog));
    a[23] = packet(std::move(dMoviClie));

    Dataset logOper({S("CDFILIAL", 4), S("CDCAIXA", 3), S("IDOPERQEL", 2), S("CDOPERRESPOP", 10),
                     DT("DTHROPERQEL"), S("NRSEQVENDA", 12)});
    logOper.append({Variant(store), Variant(station), Variant("AB"), Variant("OP1"), Variant(kBase),
                    Variant::null()});
    a[2] = packet(std::move(logOper));

    Dataset operador({S("CDOPERADOR", 10), S("NMOPERADOR", 40), S("IDATUOPERADOR", 1)});
    operador.append({Variant("OP1"), Variant("Operadora Ândrea"), Variant("I")});
    a[1] = packet(std::move(operador));

    Dataset turno({S("CDFILIAL", 4), S("CDCAIXA", 3), DT("DTABERCAIX"), Fl("VRABERCAIX"),
                   S("IDATUTURCAIXA", 1)});
    turno.append({Variant(store), Variant(station), Variant(kBase.date().addDays(0.25)),
                  Variant(150.0), Variant("I")});
    a[15] = packet(std::move(turno));

    Dataset beneCtr({S("CDCLIENTE", 21), S("CDCONSUMIDOR", 21), S("CDCAMPANHA", 10),
                     S("NRSEQPRODCAMP", 10), S("NRSEQBENEFICIO", 10), Fl("QTDEBENEFICIO"),
                     DT("DTFIMVALBENECONS")});
    beneCtr.append({Variant("CLI1"), Variant("C1"), Variant("CAMP"), Variant("1"), Variant("2"),
                    Variant(2.0), Variant(kBase.addDays(30))});
    a[29] = packet(std::move(beneCtr));

    Dataset totalDia({S("CDFILIAL", 4), S("CDCAIXA", 3), DT("DTTOTAL"), D("VRTOTAL")});
    totalDia.append(
        {Variant(store), Variant(station), Variant(kBase.date()), Variant(Decimal{123456, 2})});
    a[38] = packet(std::move(totalDia));

    Dataset prodBloq({S("CDFILIAL", 4), S("CDLOJA", 4), S("CDPRODUTO", 14)});
    prodBloq.append({Variant(store), Variant("01"), Variant("789")});
    a[39] = packet(std::move(prodBloq));

    Dataset cmdLog(
        {S("CDFILIAL", 4), S("NRVENDAREST", 10), S("NRCOMANDA", 10), DT("DTHRREGISTRO")});
    cmdLog.append({Variant(store), Variant("55"), Variant("7"), Variant(kBase)});
    a[44] = packet(std::move(cmdLog));

    Dataset itCmdLog({S("CDFILIAL", 4), S("NRVENDAREST", 10), S("NRCOMANDA", 10),
                      S("NRPRODCOMVEN", 6), DT("DTHRINCOMVEN")});
    itCmdLog.append({Variant(store), Variant("55"), Variant("7"), Variant("1"), Variant(kBase)});
    a[45] = packet(std::move(itCmdLog));
    return a;
}

VariantArray withValue(const VariantArray& packets, int element, std::size_t row,
                       const std::string& field, Variant value) {
    VariantArray copy = packets;
    Dataset ds;
    ds.loadPacket(copy[static_cast<std::size_t>(element)].asPacket());
    ds.rows()[row][ds.fieldIndex(field)] = std::move(value);
    copy[static_cast<std::size_t>(element)] =
        Variant(std::make_shared<const Dataset>(std::move(ds)));
    return copy;
}

}  // namespace qel::testing
