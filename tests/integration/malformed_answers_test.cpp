// Malformed and lying verification answers, served byte for byte by a small
// loopback responder in place of the application server. Whatever arrives,
// the transfer must not flag a single row the responder never stored (it
// stores nothing), must not crash, and must say what went wrong in one line.

#include <gtest/gtest.h>
#include <httplib.h>
#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "../agent/result_rows.h"
#include "export_fixture.h"
#include "protocol/codec.h"
#include "protocol/envelope.h"
#include "selection/catalogue.h"

namespace qel::testing {
namespace {

std::string asText(const Bytes& b) {
    return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

// Every table's rows, in rowid order, as one text: any flag the transfer
// changes shows up as a difference.
std::string stationContent(const std::filesystem::path& file) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    std::string out;
    auto collect = [](void* sink, int n, char** values, char**) {
        auto* s = static_cast<std::string*>(sink);
        for (int i = 0; i < n; ++i) s->append(values[i] ? values[i] : "<null>").push_back('|');
        s->push_back('\n');
        return 0;
    };
    std::vector<std::string> tables;
    sqlite3_exec(
        db, "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name",
        [](void* sink, int, char** values, char**) {
            static_cast<std::vector<std::string>*>(sink)->emplace_back(values[0]);
            return 0;
        },
        &tables, nullptr);
    for (const std::string& t : tables) {
        out += "== " + t + "\n";
        sqlite3_exec(db, ("SELECT * FROM \"" + t + "\"").c_str(), collect, &out, nullptr);
    }
    std::string check;
    sqlite3_exec(db, "PRAGMA integrity_check", collect, &check, nullptr);
    EXPECT_EQ(check, "ok|\n");
    sqlite3_close(db);
    return out;
}

// Answers /health, every method with an empty success, and the verification
// with whatever the test sets (body, status, content type).
class Responder {
  public:
    Responder() {
        server_.Get("/health", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("ok", "text/plain");
        });
        server_.Post(R"(/call/([^/]+)/([^/]+))", [this](const httplib::Request& req,
                                                        httplib::Response& res) {
            if (req.matches[2] == "getVerificaExportacao") {
                res.status = status;
                res.set_content(body, contentType);
            } else {
                res.set_content(asText(qel::protocol::encode(
                                    qel::protocol::successAnswer(Variant(std::int64_t{1})))),
                                "application/msgpack");
            }
        });
        port = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        // The socket is bound already; connections wait in its backlog.
        while (!server_.is_running()) std::this_thread::yield();
    }
    ~Responder() {
        server_.stop();
        thread_.join();
    }
    std::string body;
    int status = 200;
    std::string contentType = "application/msgpack";
    int port = 0;

  private:
    httplib::Server server_;
    std::thread thread_;
};

std::string wire(const Variant& payload) {
    return asText(qel::protocol::encode(qel::protocol::successAnswer(payload)));
}

// The answer with nothing stored but `value` in place of packet `index`.
std::string withElement(std::size_t index, Variant value) {
    VariantArray a = emptyVerdicts();
    a[index] = std::move(value);
    return wire(Variant(a));
}

// A sent packet's rows, each with a verdict column added.
Dataset withVerdicts(const Dataset& sent, const std::string& verdict) {
    std::vector<qel::FieldDef> fields = sent.fields();
    fields.push_back({"IDSITUACAO", FieldType::String, 3, 0});
    Dataset d(fields);
    for (qel::Row row : sent.rows()) {
        row.emplace_back(verdict);
        d.append(std::move(row));
    }
    return d;
}

struct Case {
    std::string name;
    std::string body;
    // Prefix of the one error line expected; empty when the answer is
    // accepted and simply changes nothing.
    std::string error;
    int status = 200;
    std::string contentType = "application/msgpack";
};

class MalformedAnswers : public ExportFixture {
  protected:
    // A station with pending rows, connected to `responder` and its change
    // check done: the transfer's packets are built.
    void readyToTransferTo(const Responder& responder) {
        simulate(5, 4);
        writeRegistry("IPServer = 127.0.0.1:" + std::to_string(responder.port) + "\n");
        ASSERT_TRUE(dm->net.ConectaServidor(true, "sem servidor"));
        ASSERT_TRUE(dm->ExisteDadosExportar(clock.now(), clock.now()));
    }

    // The sale packet the change check built, with a verdict column added.
    Dataset saleVerdicts(const std::string& verdict) {
        return withVerdicts(dm->PacotesExportacao.asArray()[qel::agent::kSalesEntry].asPacket(),
                            verdict);
    }
    std::string withSales(Dataset sales) { return withElement(10, packet(std::move(sales))); }

    std::vector<Case> corpus() {
        const std::string good = wire(Variant(emptyVerdicts()));
        const std::string exportError = "ERRO Except ExportaDados: ";
        std::vector<Case> c;
        // Bytes that are not a well-formed message.
        c.push_back({"empty body", "", exportError});
        c.push_back({"cut in half", good.substr(0, good.size() / 2), exportError});
        c.push_back({"one byte short", good.substr(0, good.size() - 1), exportError});
        c.push_back({"trailing bytes", good + std::string("\x01", 1), exportError});
        c.push_back({"array count larger than its data", std::string("\x92\xc3\xdc\xff\xff", 5),
                     exportError});
        c.push_back({"string length larger than its data",
                     std::string("\x92\xc3\xdb\x7f\xff\xff\xff", 7) + "abc", exportError});
        c.push_back({"binary length larger than its data",
                     std::string("\x92\xc3\xc6\x7f\xff\xff\xff", 7), exportError});
        c.push_back(
            {"nesting ten thousand deep", std::string(10000, '\x91') + '\xc0', exportError});
        c.push_back({"reserved tag", std::string("\x92\xc3\xc1", 3), exportError});
        c.push_back(
            {"unknown extension type", std::string("\x92\xc3\xd4\x7f\x00", 5), exportError});
        c.push_back({"invalid UTF-8 text", std::string("\x92\xc3\xa2\xc3\x28", 5), exportError});
        c.push_back({"an HTML page", "<html>server error</html>", exportError});
        c.push_back({"a web page's content type", good, exportError, 200, "text/html"});
        c.push_back({"HTTP 500 with a value that is no envelope",
                     asText(qel::protocol::encode(Variant(std::int64_t{5}))), exportError, 500});
        c.push_back({"HTTP 503 without a body", "", exportError, 503, "text/plain"});
        // Envelopes of the wrong shape.
        c.push_back({"failure envelope",
                     asText(qel::protocol::encode(qel::protocol::failureAnswer("disk full"))),
                     exportError});
        c.push_back({"envelope without payload",
                     asText(qel::protocol::encode(Variant(VariantArray{Variant(true)}))),
                     exportError});
        c.push_back({"bare array, no envelope",
                     asText(qel::protocol::encode(Variant(emptyVerdicts()))), exportError});
        // Payloads of the wrong type or count.
        c.push_back({"null payload", wire(Variant()), exportError});
        c.push_back({"text payload", wire(Variant("OK")), exportError});
        c.push_back({"integer payload", wire(Variant(std::int64_t{22})), exportError});
        c.push_back({"no packets", wire(Variant(VariantArray{})), exportError});
        {
            VariantArray a = emptyVerdicts();
            a.pop_back();
            c.push_back({"21 packets", wire(Variant(a)), exportError});
        }
        {
            VariantArray a = emptyVerdicts();
            a.push_back(a.back());
            c.push_back({"23 packets", wire(Variant(a)), exportError});
        }
        c.push_back(
            {"text in place of the sale packet", withElement(10, Variant("OK")), exportError});
        c.push_back({"array nested in place of a packet", withElement(0, Variant(emptyVerdicts())),
                     exportError});
        c.push_back({"last packet null", withElement(21, Variant()), exportError});
        {
            std::vector<qel::FieldDef> f = benefitResultFields();
            f.back() = {"QTDEBENEFICIO", FieldType::String, 20, 0};
            c.push_back({"declared quantity field as text",
                         withElement(kBenefitResults, packet(Dataset(f))), exportError});
        }
        {
            std::vector<qel::FieldDef> f = totalResultFields();
            f.push_back({"EXTRA", FieldType::String, 3, 0});
            c.push_back({"declared packet with a field too many",
                         withElement(kTotalResults, packet(Dataset(f))), exportError});
        }
        {
            std::vector<qel::FieldDef> f = totalResultFields();
            f.front().size = 40;
            c.push_back({"declared text field of another size",
                         withElement(kTotalResults, packet(Dataset(f))), exportError});
        }
        // Answers that load but whose verdicts must flag nothing.
        for (const std::string verdict : {"ok", " OK", "OK ", "", "ERR"}) {
            c.push_back({"sale verdict '" + verdict + "'", withSales(saleVerdicts(verdict)), ""});
        }
        {
            Dataset sales = saleVerdicts("OK");
            const std::size_t seq = sales.fieldIndex("NRSEQVENDA");
            for (qel::Row& row : sales.rows()) {
                // Same kind as sent, a number no sale of this station has.
                if (row[seq].get<std::int64_t>()) {
                    row[seq] = Variant(row[seq].asInteger() + 900000);
                } else {
                    row[seq] = Variant("9" + row[seq].asString() + "99");
                }
            }
            c.push_back({"OK verdicts for sales never sent", withSales(sales), ""});
        }
        {
            Dataset sales = saleVerdicts("ERR");
            Dataset twice = sales;
            for (const qel::Row& row : sales.rows()) twice.append(row);
            c.push_back({"duplicate refusals of every sale", withSales(twice), ""});
        }
        {
            Dataset unknown(
                {{"CDTABELA", FieldType::String, 10, 0}, {"IDSITUACAO", FieldType::String, 3, 0}});
            unknown.append({Variant("XYZ"), Variant("OK")});
            c.push_back({"verdict of an unknown table in the operators' place",
                         withElement(1, packet(unknown)), "ERRO Except AtualizaMSDEOperador: "});
        }
        {
            Dataset sales = saleVerdicts("OK");
            Dataset noVerdict(
                std::vector<qel::FieldDef>(sales.fields().begin(), sales.fields().end() - 1));
            for (qel::Row row : sales.rows()) {
                row.pop_back();
                noVerdict.append(std::move(row));
            }
            c.push_back({"sale packet without a verdict column", withSales(noVerdict),
                         "ERRO Except AtualizaMSDEVenda: "});
        }
        return c;
    }
};

TEST_F(MalformedAnswers, NoAnswerFlagsARowCrashesOrGoesUnreported) {
    Responder responder;
    ASSERT_NO_FATAL_FAILURE(readyToTransferTo(responder));
    ASSERT_GT(dm->PacotesExportacao.asArray()[qel::agent::kSalesEntry].asPacket().recordCount(),
              0u);

    const std::vector<Case> cases = corpus();
    EXPECT_GE(cases.size(), 30u);
    const std::string before = stationContent(dir / "QELCAIXA.db");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        responder.body = c.body;
        responder.status = c.status;
        responder.contentType = c.contentType;
        const std::size_t linesBefore = logLines().size();
        dm->ExportaDados(clock.now(), clock.now());

        const std::vector<std::string> lines = logLines();
        std::vector<std::string> errors;
        std::copy_if(lines.begin() + static_cast<std::ptrdiff_t>(linesBefore), lines.end(),
                     std::back_inserter(errors),
                     [](const std::string& l) { return l.rfind("ERRO", 0) == 0; });
        if (c.error.empty()) {
            EXPECT_EQ(errors, std::vector<std::string>{});
        } else {
            ASSERT_EQ(errors.size(), 1u) << ::testing::PrintToString(errors);
            EXPECT_EQ(errors[0].rfind(c.error, 0), 0u) << errors[0];
            // The line says more than the routine's name.
            EXPECT_GT(errors[0].size(), c.error.size() + 20) << errors[0];
        }
        EXPECT_EQ(stationContent(dir / "QELCAIXA.db"), before);
    }
}

// Verdicts answer for the rows the server was sent. An "OK" for a pending
// row that this transfer left out (written after the change check, beyond
// the sales window) must not flag it: the server cannot hold what it was
// never sent.
TEST_F(MalformedAnswers, AnOkForAPendingRowThisTransferDidNotSendFlagsNothing) {
    Responder responder;
    ASSERT_NO_FATAL_FAILURE(readyToTransferTo(responder));

    // Verdicts "OK" for every pending sale and cash movement...
    constexpr std::size_t kMovements = 22;
    VariantArray packets = dm->PacotesExportacao.asArray();
    VariantArray answer = emptyVerdicts();
    answer[10] = packet(withVerdicts(packets[qel::agent::kSalesEntry].asPacket(), "OK"));
    answer[11] = packet(withVerdicts(packets[kMovements].asPacket(), "OK"));
    responder.body = wire(Variant(answer));

    // ...but the last of each is not sent: it keeps its flag.
    std::vector<std::string> leftOut;
    for (std::size_t element : {qel::agent::kSalesEntry, kMovements}) {
        Dataset d = packets[element].asPacket();
        ASSERT_GE(d.recordCount(), 2u);
        const qel::Row& last = d.rows().back();
        if (element == kMovements) {
            leftOut.push_back("SELECT IDIMPMOVCAIXA FROM MOVCAIXA WHERE NRSEQUMOVI = '" +
                              last[d.fieldIndex("NRSEQUMOVI")].asString() + "' AND DTABERCAIX = '" +
                              last[d.fieldIndex("DTABERCAIX")].asDateTime().toIso() + "'");
        } else {
            leftOut.push_back("SELECT IDIMPVENDA FROM VENDA WHERE NRSEQVENDA = '" +
                              last[d.fieldIndex("NRSEQVENDA")].asString() + "'");
        }
        d.rows().pop_back();
        packets[element] = packet(std::move(d));
    }
    const std::string saleFlag = scalar(leftOut[0]), movementFlag = scalar(leftOut[1]);
    ASSERT_NE(saleFlag, "S");
    ASSERT_NE(movementFlag, "S");
    dm->PacotesExportacao = Variant(packets);
    dm->ExportaDados(clock.now(), clock.now());

    EXPECT_EQ(scalar(leftOut[0]), saleFlag);
    EXPECT_EQ(scalar(leftOut[1]), movementFlag);
    // The others were flagged.
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA IN ('I','A') AND "
                     "IDSITUVENDA <> 'P'"),
              "1");
    EXPECT_EQ(errorLines(), std::vector<std::string>{});
    const auto lines = logLines();
    for (const char* table : {"cdsRetVenda", "cdsRetMovCaixa"}) {
        EXPECT_NE(std::find(lines.begin(), lines.end(),
                            std::string(table) +
                                ": 1 veredictos ignorados, para linhas que esta transferência "
                                "não enviou"),
                  lines.end())
            << table;
    }
}

}  // namespace
}  // namespace qel::testing
