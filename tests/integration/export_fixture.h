#pragma once

// A simulated station exporting to the real application server on an
// ephemeral loopback port, with a manual clock shared by agent and server.

#include <memory>

#include "../station_fixture.h"
#include "application_server.h"
#include "central_store.h"
#include "http_server.h"
#include "simulator/simulator.h"

namespace qel::testing {

// A central store that can be told to fail verification, standing in for a
// server whose database breaks between the two calls of a transfer.
class FailingVerifyStore : public server::CentralStore {
  public:
    explicit FailingVerifyStore(server::CentralStore& real) : real_(real) {}
    bool failVerify = false;
    bool failInsert = false;

    std::int64_t putBatch(const server::InsertBatch& b) override {
        if (failInsert) throw DatabaseError("central database is full");
        return real_.putBatch(b);
    }
    std::vector<std::optional<Bytes>> getContents(const std::vector<server::RowRef>& r) override {
        if (failVerify) throw DatabaseError("central database is locked");
        return real_.getContents(r);
    }
    std::optional<DateTime> lastCleanup(std::string_view s, std::string_view c) override {
        return real_.lastCleanup(s, c);
    }
    void recordCleanup(std::string_view s, std::string_view c, DateTime at) override {
        real_.recordCleanup(s, c, at);
    }
    void recordRequest(std::string_view k, std::string_view s, std::string_view c, DateTime d,
                       std::string_view a, DateTime at) override {
        real_.recordRequest(k, s, c, d, a, at);
    }
    void recordDate(std::string_view s, std::string_view c, const server::StationDate& d,
                    DateTime at) override {
        real_.recordDate(s, c, d, at);
    }
    std::int64_t rowCount(std::string_view t) override { return real_.rowCount(t); }
    std::int64_t requestCount(std::string_view k) override { return real_.requestCount(k); }
    std::optional<DateTime> reportedDate(std::string_view s, std::string_view c,
                                         std::string_view n) override {
        return real_.reportedDate(s, c, n);
    }
    void touchStation(std::string_view s, std::string_view c, DateTime at) override {
        real_.touchStation(s, c, at);
    }
    std::vector<server::StationStatus> fleet(DateTime today, DateTime since) override {
        return real_.fleet(today, since);
    }
    std::vector<server::DayShortfall> findShortDays(std::string_view s, std::string_view c,
                                                    DateTime since, DateTime at) override {
        return real_.findShortDays(s, c, since, at);
    }

  private:
    server::CentralStore& real_;
};

class ExportFixture : public StationFixture {
  protected:
    void SetUp() override {
        StationFixture::SetUp();
        realStore = server::openSqliteStore(dir / "central_store.db");
        store = std::make_unique<FailingVerifyStore>(*realStore);
        app = std::make_unique<server::ApplicationServer>(*store, clock);
        startServer();
    }

    void TearDown() override {
        // Close the agent's kept-alive connections first, so the server need
        // not wait for them to time out when it stops.
        dm->net.netInsereServidor.close();
        dm->net.netAjuste.close();
        dm->net.netAtualizaPontuacao.close();
        stopServer();
        app.reset();
        store.reset();
        realStore.reset();
        StationFixture::TearDown();
    }

    void startServer(server::HttpServerOptions options = {}) {
        http = std::make_unique<server::HttpServer>(*app, std::move(options));
        port = http->bindToAnyPort("127.0.0.1");
        http->start();
        writeRegistry("IPServer = 127.0.0.1:" + std::to_string(port) + "\n");
    }
    void stopServer() {
        if (http) http->stop();
        http.reset();
    }

    // Fills the station with the simulator: `days` closed days of sales from
    // `startDate`, `pending` of them waiting; the clock at noon on 7 December.
    void fillDays(int days, const char* startDate, int salesPerDay, std::int64_t pending) {
        simulator::Options o;
        o.stores = {"0001"};
        o.stations = 1;
        o.days = days;
        o.startDate = startDate;
        o.salesPerDay = salesPerDay;
        o.pendingSales = pending;
        o.seed = 7;
        o.quiet = true;
        simulator::Database db((dir / "QELCAIXA.db").string());
        simulator::fillStation(db.get(), o);
        clock.set(DateTime::fromDateTime(2026, 12, 7, 12, 0, 0));
    }

    // Two days of sales, `pending` waiting, with the run's shop set as an
    // export run sets it.
    void simulate(int salesPerDay, std::int64_t pending) {
        fillDays(2, "2026-12-04", salesPerDay, pending);
        dm->run.CDLOJA = scalar("SELECT CDLOJA FROM CAIXA WHERE CDCAIXA = '001'");
    }

    // Three closed days of five sales from 3 December, `pending` of them waiting.
    void fillThreeDays(std::int64_t pending) { fillDays(3, "2026-12-03", 5, pending); }

    // One pass as the export run makes it: change check, then transfer.
    bool pass() {
        const bool pending = dm->ExisteDadosExportar(clock.now(), clock.now());
        if (pending) dm->ExportaDados(clock.now(), clock.now());
        return pending;
    }

    std::vector<std::string> errorLines() const {
        std::vector<std::string> errors;
        for (const auto& line : logLines()) {
            if (line.rfind("ERRO", 0) == 0) errors.push_back(line);
        }
        return errors;
    }

    std::unique_ptr<server::CentralStore> realStore;
    std::unique_ptr<FailingVerifyStore> store;
    std::unique_ptr<server::ApplicationServer> app;
    std::unique_ptr<server::HttpServer> http;
    int port = 0;
};

}  // namespace qel::testing
