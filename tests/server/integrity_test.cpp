// What the central store keeps of what stations send: every distinct local
// row, under the name of the station database it came from, with "same
// content" meaning the same values. Loopback HTTP through the agent's own
// connections, a real SQLite central store.

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <map>

#include "core/dataset.h"
#include "core/error.h"
#include "definitions/schema.h"
#include "loopback_fixture.h"
#include "sample_packets.h"
#include "table_rules.h"
#include "verdicts.h"

namespace qel::testing {
namespace {

using F = FieldType;

Variant packet(Dataset ds) {
    return Variant(std::make_shared<const Dataset>(std::move(ds)));
}

// A packet array with every element empty.
VariantArray emptyArray() {
    VariantArray a(47);
    for (auto& e : a) e = packet(Dataset({{"CDFILIAL", F::String, 4, 0}}));
    a[25] = Variant::null();
    a[26] = Variant::null();
    return a;
}

const DateTime kWhen = DateTime::fromDateTime(2026, 12, 6, 9, 52, 13, 250);

Dataset logAcesso(const Variant& store, const std::string& system) {
    Dataset ds({{"CDOPERADOR", F::String, 12, 0},
                {"DSSISTEMA", F::String, 20, 0},
                {"DTHRACESSO", F::DateTime, 0, 0},
                {"CDFILIAL", F::String, 4, 0},
                {"DSMAQUINA", F::String, 20, 0}});
    ds.append({Variant("OP1"), Variant("PDV"), Variant(kWhen), store, Variant(system)});
    return ds;
}

Dataset extrato(const std::string& store, const std::string& station, Decimal value) {
    Dataset ds({{"CDCLIENTE", F::String, 21, 0},
                {"CDCONSUMIDOR", F::String, 21, 0},
                {"CDFAMILISALD", F::String, 4, 0},
                {"DTMOVEXTCONS", F::DateTime, 0, 0},
                {"NRSEQMOVEXT", F::String, 10, 0},
                {"CDFILIAL", F::String, 4, 0},
                {"CDCAIXA", F::String, 3, 0},
                {"VRMOVEXTCONS", F::Decimal, 0, 2}});
    ds.append({Variant("CLI1"), Variant("C1"), Variant("01"), Variant(kWhen), Variant("0000000001"),
               Variant(store), Variant(station), Variant(value)});
    return ds;
}

class Integrity : public Loopback {
  protected:
    void SetUp() override {
        Loopback::SetUp();
        serve();
        ASSERT_TRUE(connections_->ConectaServidor(true, "x"));
    }
    void serveWithCredentials(const std::string& lines) {
        connections_->ConectaServidor(false, "");
        http_->stop();
        server::HttpServerOptions options;
        options.credentials = server::Credentials::parse(lines);
        serve(options);
    }
    void useToken(const std::string& token) {
        connections_->ConectaServidor(false, "");
        setRegistry(
            {{"IPServer", "127.0.0.1:" + std::to_string(port_)}, {"ServerCredential", token}});
        ASSERT_TRUE(connections_->ConectaServidor(true, "x"));
    }
    Variant insert(const VariantArray& packets, const std::string& store = "0001",
                   const std::string& station = "001") {
        return callChecked(connections_->netInsereServidor, "setInsereServidor",
                           {Variant(store), Variant(station), Variant("01"), Variant(packets)});
    }
    Variant verify(const VariantArray& packets, const std::string& store = "0001",
                   const std::string& station = "001") {
        return callChecked(connections_->netInsereServidor, "getVerificaExportacao",
                           {Variant(store), Variant(station), Variant(packets)});
    }
};

// The station schema's own view of a table: columns, declared types and the
// primary key, read by SQLite rather than by the server's schema reader.
struct StationTable {
    std::vector<FieldDef> fields;
    std::vector<std::size_t> key;  // field indexes, in key order
};

std::map<std::string, StationTable> stationTables() {
    sqlite3* db = nullptr;
    sqlite3_open(":memory:", &db);
    const std::string ddl(definitions::stationSchemaSqlite());
    EXPECT_EQ(sqlite3_exec(db, ddl.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    std::map<std::string, StationTable> out;
    sqlite3_stmt* tables = nullptr;
    sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type = 'table'", -1, &tables,
                       nullptr);
    while (sqlite3_step(tables) == SQLITE_ROW) {
        const std::string name = reinterpret_cast<const char*>(sqlite3_column_text(tables, 0));
        StationTable t;
        std::vector<std::pair<int, std::size_t>> key;
        sqlite3_stmt* info = nullptr;
        sqlite3_prepare_v2(db, ("PRAGMA table_info(" + name + ")").c_str(), -1, &info, nullptr);
        while (sqlite3_step(info) == SQLITE_ROW) {
            const std::string column = reinterpret_cast<const char*>(sqlite3_column_text(info, 1));
            const std::string type = reinterpret_cast<const char*>(sqlite3_column_text(info, 2));
            F f = F::String;
            if (type.find("DATETIME") != std::string::npos) f = F::DateTime;
            if (type.find("DECIMAL") != std::string::npos) f = F::Decimal;
            if (type.find("FLOAT") != std::string::npos) f = F::Float;
            if (type.find("INT") != std::string::npos) f = F::Integer;
            if (const int pk = sqlite3_column_int(info, 5); pk > 0) {
                key.emplace_back(pk, t.fields.size());
            }
            t.fields.push_back({column, f, 0, f == F::Decimal ? 2 : 0});
        }
        sqlite3_finalize(info);
        std::sort(key.begin(), key.end());
        for (const auto& [order, index] : key) t.key.push_back(index);
        out[name] = std::move(t);
    }
    sqlite3_finalize(tables);
    sqlite3_close(db);
    return out;
}

Variant valueOf(F type, int variant, int element) {
    switch (type) {
        case F::DateTime:
            return Variant(kWhen.addDays(variant + element));
        case F::Decimal:
            return Variant(Decimal{100 * (variant + 1) + element, 2});
        case F::Float:
            return Variant(0.5 + variant + element);
        case F::Integer:
            return Variant(variant + element);
        default:
            return Variant(std::string(1, static_cast<char>('A' + variant)) +
                           std::to_string(element));
    }
}

TEST_F(Integrity, EveryTableKeepsEachDistinctLocalRowAsItsOwnCentralRow) {
    const auto tables = stationTables();
    int covered = 0;
    for (int i = 0; i < server::kPacketCount; ++i) {
        if (i == server::kExtratoDateIndex || i == server::kMoviClieDateIndex) continue;
        const std::string table(server::tableRules()[i].table);
        const auto it = tables.find(table);
        if (it == tables.end() || !server::tableRules()[i].renamed.empty()) continue;
        const StationTable& t = it->second;
        // One row, then per key column a row that differs from it only there:
        // each a distinct local row. A last row differs only outside the key:
        // the same local row changed, so it replaces the first.
        Dataset ds(t.fields);
        Row base;
        for (const FieldDef& f : t.fields) base.push_back(valueOf(f.type, 0, i));
        for (std::size_t c = 0; c < t.fields.size(); ++c) {
            if (t.fields[c].name == "CDFILIAL") base[c] = Variant("0001");
            if (t.fields[c].name == "CDCAIXA") base[c] = Variant("001");
        }
        ds.append(base);
        for (std::size_t k : t.key) {
            Row other = base;
            other[k] = valueOf(t.fields[k].type, 1, i);
            ds.append(std::move(other));
        }
        for (std::size_t c = 0; c < t.fields.size(); ++c) {
            if (std::find(t.key.begin(), t.key.end(), c) != t.key.end()) continue;
            Row changed = base;
            changed[c] = valueOf(t.fields[c].type, 2, i);
            ds.append(std::move(changed));
            break;
        }
        VariantArray packets = emptyArray();
        packets[static_cast<std::size_t>(i)] = packet(std::move(ds));
        const std::int64_t before = store_->rowCount(table);
        insert(packets);
        EXPECT_EQ(store_->rowCount(table) - before, static_cast<std::int64_t>(1 + t.key.size()))
            << "element " << i << " (" << table << ")";
        ++covered;
    }
    EXPECT_GE(covered, 40);
}

TEST_F(Integrity, ItemTaxLinesOfDifferentItemsOfOneSaleAreAllKept) {
    // The sale's item number is part of the tax line's local key.
    Dataset taxes({{"CDFILIAL", F::String, 4, 0},
                   {"CDCAIXA", F::String, 3, 0},
                   {"NRSEQVENDA", F::String, 10, 0},
                   {"NRSEQUITVEND", F::String, 3, 0},
                   {"NRSEQITIMPOS", F::String, 3, 0},
                   {"VRIMPOPRODIT", F::Decimal, 0, 2}});
    for (int item = 1; item <= 12; ++item) {
        taxes.append({Variant("0001"), Variant("001"), Variant("0000000001"),
                      Variant(std::to_string(100 + item).substr(1)), Variant("001"),
                      Variant(Decimal{item * 10, 2})});
    }
    VariantArray packets = emptyArray();
    packets[19] = packet(std::move(taxes));
    insert(packets);
    EXPECT_EQ(store_->rowCount("ITVENDAIMPOS"), 12);
}

TEST_F(Integrity, TwoStationDatabasesWithCollidingLocalKeysKeepTheirOwnRows) {
    // Each station database numbers its extract and access-log rows itself:
    // station 002's rows carry the same local keys as station 001's.
    VariantArray first = emptyArray();
    first[17] = packet(extrato("0001", "001", Decimal{1000, 2}));
    first[3] = packet(logAcesso(Variant("0001"), "CAIXA 1"));
    VariantArray second = emptyArray();
    second[17] = packet(extrato("0001", "002", Decimal{2500, 2}));
    second[3] = packet(logAcesso(Variant("0001"), "CAIXA 2"));

    insert(first, "0001", "001");
    insert(second, "0001", "002");
    EXPECT_EQ(store_->rowCount("EXTRATOCONS"), 2);
    EXPECT_EQ(store_->rowCount("LOGACESSO"), 2);
    for (const auto& [packets, station] : {std::pair{first, "001"}, std::pair{second, "002"}}) {
        const Variant results = verify(packets, "0001", station);
        EXPECT_EQ(column(result(results, 12), "IDSITUACAO"), std::vector<std::string>{"OK"})
            << station;
        EXPECT_EQ(column(result(results, 3), "IDSITUACAO"), std::vector<std::string>{"OK"})
            << station;
    }
    // The same rows sent again by the same station are still one row each.
    insert(first, "0001", "001");
    EXPECT_EQ(store_->rowCount("EXTRATOCONS"), 2);
}

TEST_F(Integrity, ACredentialCannotReplaceTheRowsOfAnotherStore) {
    serveWithCredentials(
        "store-1 0001 001,002\n"
        "store-2 0002 001\n");
    useToken("store-2");
    VariantArray theirs = emptyArray();
    theirs[3] = packet(logAcesso(Variant("0002"), "LOJA 2"));
    theirs[17] = packet(extrato("0002", "001", Decimal{700, 2}));
    insert(theirs, "0002", "001");

    // Store 0001 sends rows with the same local keys: without CDFILIAL, and
    // with its own CDFILIAL. They are its own rows, not replacements.
    useToken("store-1");
    VariantArray mine = emptyArray();
    Dataset noStore({{"CDOPERADOR", F::String, 12, 0},
                     {"DSSISTEMA", F::String, 20, 0},
                     {"DTHRACESSO", F::DateTime, 0, 0}});
    noStore.append({Variant("OP1"), Variant("PDV"), Variant(kWhen)});
    mine[3] = packet(std::move(noStore));
    mine[17] = packet(extrato("0001", "002", Decimal{1, 2}));
    insert(mine, "0001", "002");
    // A row naming the other store is refused, never stored over theirs.
    VariantArray forged = emptyArray();
    forged[17] = packet(extrato("0002", "001", Decimal{1, 2}));
    insert(forged, "0001", "001");
    const Variant refused = verify(forged, "0001", "001");
    EXPECT_EQ(column(result(refused, 12), "IDSITUACAO"), std::vector<std::string>{"ERR"});

    useToken("store-2");
    const Variant results = verify(theirs, "0002", "001");
    EXPECT_EQ(column(result(results, 3), "IDSITUACAO"), std::vector<std::string>{"OK"});
    EXPECT_EQ(column(result(results, 12), "IDSITUACAO"), std::vector<std::string>{"OK"});
    EXPECT_EQ(store_->rowCount("LOGACESSO"), 2);
    EXPECT_EQ(store_->rowCount("EXTRATOCONS"), 2);
}

Dataset unusedInvoiceNumbers(const Variant& store, const Variant& station,
                             const std::string& reason) {
    Dataset ds({{"CDFILIAL", F::String, 4, 0},
                {"CDCAIXA", F::String, 3, 0},
                {"NRNOTAFISCALCE", F::String, 10, 0},
                {"DSMOTIVO", F::String, 40, 0}});
    ds.append({store, station, Variant("0000000042"), Variant(reason)});
    return ds;
}

TEST_F(Integrity, RowsWithBlankStoreCodesStayWithinTheCallersDatabase) {
    serveWithCredentials(
        "store-1 0001 001\n"
        "store-2 0002 001\n");
    // Blank (or nil) CDFILIAL/CDCAIXA in a key that holds them name no
    // station: each credential's such row is its own, never another's.
    for (const auto& [store, station] :
         {std::pair{Variant(""), Variant(" ")}, std::pair{Variant(" "), Variant("001")}}) {
        SCOPED_TRACE("[" + store.asString() + "|" + station.asString() + "]");
        const std::int64_t before = store_->rowCount("INUTILIZANFCE");
        useToken("store-1");
        VariantArray mine = emptyArray();
        mine[5] = packet(unusedInvoiceNumbers(store, station, "PAPEL"));
        insert(mine, "0001", "001");

        useToken("store-2");
        VariantArray theirs = emptyArray();
        theirs[5] = packet(unusedInvoiceNumbers(store, station, "OUTRO"));
        // The other credential cannot read the row as its own...
        EXPECT_EQ(column(result(verify(mine, "0002", "001"), 5), "IDSITUACAO"),
                  std::vector<std::string>{"NE"});
        // ...nor replace it: its own row is stored beside it.
        insert(theirs, "0002", "001");
        EXPECT_EQ(store_->rowCount("INUTILIZANFCE"), before + 2);

        useToken("store-1");
        EXPECT_EQ(column(result(verify(mine, "0001", "001"), 5), "IDSITUACAO"),
                  std::vector<std::string>{"OK"});
    }
}

TEST_F(Integrity, ExtractRowsOfExportedSalesAreAnsweredAfterThePendingOnes) {
    VariantArray packets = emptyArray();
    packets[17] = packet(extrato("0001", "001", Decimal{1000, 2}));
    Dataset later = extrato("0001", "001", Decimal{300, 2});
    later.rows()[0][4] = Variant("0000000002");
    later.append(later.rows()[0]);
    later.rows()[1][4] = Variant("0000000003");
    packets[35] = packet(std::move(later));
    insert(packets);
    EXPECT_EQ(store_->rowCount("EXTRATOCONS"), 3);

    const Variant results = verify(packets);
    const Dataset& answer = result(results, 12);
    EXPECT_EQ(column(answer, "NRSEQMOVEXT"),
              (std::vector<std::string>{"0000000001", "0000000002", "0000000003"}));
    EXPECT_EQ(column(answer, "IDSITUACAO"), (std::vector<std::string>{"OK", "OK", "OK"}));
    // Only element 35 sent: its rows are the whole answer.
    VariantArray onlyLater = emptyArray();
    onlyLater[35] = packets[35];
    EXPECT_EQ(column(result(verify(onlyLater), 12), "IDSITUACAO"),
              (std::vector<std::string>{"OK", "OK"}));
}

TEST_F(Integrity, RowsWithoutStationTakeTheCallersAndRowsItMayNotWriteFailTheCall) {
    serveWithCredentials("station-1 0001 001\n");
    useToken("station-1");
    VariantArray packets = emptyArray();
    packets[3] = packet(logAcesso(Variant::null(), "SEM LOJA"));
    // Order items carry no station: the order belongs to the store.
    Dataset items({{"CDFILIAL", F::String, 4, 0},
                   {"NRPEDIDOQEL", F::String, 10, 0},
                   {"NRSEQITPEDQEL", F::String, 3, 0},
                   {"CDCAIXA", F::String, 3, 0}});
    items.append({Variant("0001"), Variant("0000000007"), Variant("001"), Variant::null()});
    items.append({Variant("0001"), Variant("0000000007"), Variant("002"), Variant("")});
    packets[8] = packet(std::move(items));
    insert(packets);
    EXPECT_EQ(store_->rowCount("ITPEDIDOQEL"), 2);
    EXPECT_EQ(column(result(verify(packets), 3), "IDSITUACAO"), std::vector<std::string>{"OK"});

    // An item of a sale of a station the credential does not cover gets no
    // verdict of its own: the call fails and stores nothing.
    Dataset foreignItem({{"CDFILIAL", F::String, 4, 0},
                         {"CDCAIXA", F::String, 3, 0},
                         {"NRSEQVENDA", F::String, 10, 0},
                         {"NRSEQUITVEND", F::String, 3, 0}});
    foreignItem.append({Variant("0001"), Variant("009"), Variant("0000000001"), Variant("001")});
    VariantArray foreign = emptyArray();
    foreign[18] = packet(std::move(foreignItem));
    foreign[3] = packet(logAcesso(Variant("0001"), "OUTRO"));
    const std::int64_t before = store_->rowCount();
    try {
        insert(foreign);
        FAIL() << "a row the server cannot store was accepted";
    } catch (const ServerError& e) {
        EXPECT_NE(std::string(e.what()).find("CDCAIXA 009 is not a station of this credential"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_EQ(store_->rowCount(), before);
}

TEST_F(Integrity, SameContentMeansSameValuesWhateverTheirForm) {
    const VariantArray sent = samplePacketArray(2);
    insert(sent);
    auto venda = [](const VariantArray& a) { return a[16].asPacket(); };
    auto situations = [&](const VariantArray& a) {
        return column(result(verify(a), 10), "IDSITUACAO");
    };
    // The decimal 19.99 sent again as 19.990 (another scale), and as a float.
    const std::size_t money = venda(sent).fieldIndex("VRCOL0");
    const Decimal value = *venda(sent).rows()[0][money].get<Decimal>();
    EXPECT_EQ(
        situations(withValue(sent, 16, 0, "VRCOL0", Variant(Decimal{value.unscaled * 10, 3}))),
        (std::vector<std::string>{"OK", "OK"}));
    // The same column sent as floating point, as some selections deliver it.
    {
        Dataset floats = venda(sent);
        std::vector<FieldDef> fields = floats.fields();
        fields[money].type = F::Float;
        fields[money].scale = 0;
        Dataset converted(fields);
        for (Row r : floats.rows()) {
            r[money] = Variant(r[money].get<Decimal>()->toDouble());
            converted.append(std::move(r));
        }
        VariantArray asFloat = sent;
        asFloat[16] = packet(std::move(converted));
        EXPECT_EQ(situations(asFloat), (std::vector<std::string>{"OK", "OK"}));
    }
    // One cent more is another value.
    EXPECT_EQ(situations(withValue(sent, 16, 0, "VRCOL0", Variant(Decimal{value.unscaled + 1, 2}))),
              (std::vector<std::string>{"DIF", "OK"}));

    // Column names in lower case and the columns in reverse order.
    Dataset reordered;
    {
        const Dataset& original = venda(sent);
        std::vector<FieldDef> fields(original.fields().rbegin(), original.fields().rend());
        for (FieldDef& f : fields) {
            for (char& ch : f.name)
                ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        }
        reordered = Dataset(fields);
        for (const Row& r : original.rows()) reordered.append(Row(r.rbegin(), r.rend()));
    }
    VariantArray renamed = sent;
    renamed[16] = packet(std::move(reordered));
    EXPECT_EQ(situations(renamed), (std::vector<std::string>{"OK", "OK"}));
    // A column more is other content.
    Dataset wider = venda(sent);
    std::vector<FieldDef> fields = wider.fields();
    fields.push_back({"VREXTRA", F::Decimal, 0, 2});
    Dataset extra(fields);
    for (Row r : wider.rows()) {
        r.push_back(Variant::null());
        extra.append(std::move(r));
    }
    VariantArray more = sent;
    more[16] = packet(std::move(extra));
    EXPECT_EQ(situations(more), (std::vector<std::string>{"DIF", "DIF"}));
}

}  // namespace
}  // namespace qel::testing
