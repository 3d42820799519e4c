// The one-shot export as an operator runs it: the real executable against a
// simulated station and the application server on loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "../tools/child_process.h"
#include "credentials.h"
#include "export_fixture.h"

namespace {

using qel::testing::ChildProcess;
using qel::testing::ChildResult;
using qel::testing::runChild;

class ExportOnce : public qel::testing::ExportFixture {
  protected:
    void SetUp() override {
        ExportFixture::SetUp();
        simulate(20, 6);
    }
    std::map<std::string, std::string> env() const {
        return {{"QELEXP_REGISTRY", (dir / "registry.conf").string()},
                {"QELEXP_LOCK_DIR", dir.string()}};
    }
    ChildResult exportOnce(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv{EXPORT_ONCE,  "--store",      "0001", "--station",
                                      "001",        "--shop",       "01",   "--folder",
                                      dir.string(), "--max-runs=50"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return runChild(argv, env(), dir);
    }
    std::int64_t waitingSales() {
        return std::stoll(
            scalar("SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA <> 'S' AND IDSITUVENDA <> 'P'"));
    }
    // The child writes its run log for the machine's own date, not the manual
    // clock's, and a run may cross midnight: read every day's file, oldest first.
    std::vector<std::filesystem::path> childLogFiles() const {
        std::vector<std::filesystem::path> files;
        const auto folder = runLog->fileFor(clock.now()).parent_path();
        if (!std::filesystem::exists(folder)) return files;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("Qel_Exp", 0) == 0 && entry.path().extension() == ".txt") {
                files.push_back(entry.path());
            }
        }
        std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
            return std::filesystem::last_write_time(a) < std::filesystem::last_write_time(b);
        });
        return files;
    }
    std::vector<std::string> linesStarting(const std::string& prefix) const {
        std::vector<std::string> found;
        std::vector<std::string> lines;
        for (const auto& file : childLogFiles()) {
            const auto dayLines = qel::testing::runLogLines(file);
            lines.insert(lines.end(), dayLines.begin(), dayLines.end());
        }
        for (const auto& line : lines) {
            if (line.rfind(prefix, 0) == 0) found.push_back(line);
        }
        return found;
    }
    void writeRegistryText(const std::string& content) {
        std::ofstream(dir / "registry.conf", std::ios::binary | std::ios::trunc) << content;
    }
    std::string section() const {
        return "[HKEY_LOCAL_MACHINE\\Software\\MORADEX\\Sistemas Integrados Moradex\\Orbel]\n"
               "StringConexao = " +
               stationConnectionString() + "\nIPServer = 127.0.0.1:" + std::to_string(port) + "\n";
    }
};

TEST_F(ExportOnce, SendsEverythingAndEndsWithOneSummaryLine) {
    ASSERT_GT(waitingSales(), 0);
    const ChildResult r = exportOnce();
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(waitingSales(), 0);
    EXPECT_NE(r.out.find("qelexp-export-once: done"), std::string::npos) << r.out;
    // The summary says what its counts are: the verdicts are of the
    // acknowledged tables only, fewer than the rows sent, and no loss.
    long long sales = 0, rows = 0, ok = 0, refused = 0;
    const auto sent = r.out.find("sent ");
    ASSERT_NE(sent, std::string::npos) << r.out;
    ASSERT_EQ(std::sscanf(r.out.c_str() + sent,
                          "sent %lld sale(s) in %lld row(s) of all tables; verdicts of the "
                          "acknowledged tables, which cover every row sent: %lld OK, %lld refused",
                          &sales, &rows, &ok, &refused),
              4)
        << r.out;
    EXPECT_GT(sales, 0);
    EXPECT_GT(ok, 0);
    EXPECT_LT(ok, rows);
    EXPECT_EQ(refused, 0);
    const auto summaries = linesStarting("Resumo da exportação: ");
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_NE(summaries[0].find("recusadas 0; vendas pendentes 0 (e "), std::string::npos)
        << summaries[0];
    EXPECT_NE(summaries[0].find("resultado: sucesso"), std::string::npos);

    // A second run finds nothing new to send and succeeds too.
    const ChildResult again = exportOnce();
    EXPECT_EQ(again.exitCode, 0) << again.err;
}

TEST_F(ExportOnce, RefusedCredentialFailsAfterOneAttempt) {
    stopServer();
    qel::server::HttpServerOptions options;
    options.credentials = qel::server::Credentials::parse("good-token 0001 001\n");
    http = std::make_unique<qel::server::HttpServer>(*app, options);
    port = http->bindToAnyPort("127.0.0.1");
    http->start();
    writeRegistry("IPServer = 127.0.0.1:" + std::to_string(port) +
                  "\nServerCredential = wrong-token\n");
    const ChildResult r = exportOnce();
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("export failed: ERRO Except EnviaVendas: "), std::string::npos) << r.err;
    EXPECT_EQ(linesStarting("ERRO Except EnviaVendas: ").size(), 1u);
    EXPECT_EQ(linesStarting("Resumo da exportação: ").size(), 1u);
    EXPECT_NE(linesStarting("Resumo da exportação: ")[0].find("resultado: falha"),
              std::string::npos);
    EXPECT_GT(waitingSales(), 0);
}

TEST_F(ExportOnce, FailedTransferStopsTheRun) {
    store->failVerify = true;
    const ChildResult r = exportOnce();
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_EQ(linesStarting("ERRO Except ExportaDados: ").size(), 1u);
    EXPECT_TRUE(linesStarting("EXPORTAÇÃO REALIZADA COM SUCESSO").empty());
    EXPECT_NE(r.err.find("export failed: ERRO Except ExportaDados: "), std::string::npos) << r.err;
}

TEST_F(ExportOnce, MissingStationDatabaseIsReportedInTheRunLog) {
    writeRegistryText(
        "[HKEY_LOCAL_MACHINE\\Software\\MORADEX\\Sistemas Integrados Moradex\\Orbel]\n"
        "StringConexao = Provider=SQLite;Initial Catalog=QELCAIXA;Data Source=" +
        (dir / "nowhere").string() + "\n");
    const ChildResult r = exportOnce();
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    const auto errors = linesStarting("ERRO Except EnviaVendas: Filial: 0001 Caixa: 001 Erro: ");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find((dir / "nowhere").string()), std::string::npos) << errors[0];
    EXPECT_NE(r.err.find((dir / "nowhere").string()), std::string::npos) << r.err;
}

TEST_F(ExportOnce, ConfigurationFaultsNameTheFile) {
    const std::string file = (dir / "registry.conf").string();
    struct Case {
        std::string content;
        std::string fault;
    };
    const std::vector<Case> cases = {
        {"[Software\\Outro]\nIPServer = 127.0.0.1\n", "has no section"},
        {std::string("\x7f"
                     "ELF\x02\x01\x01\0\0\xff\xfe",
                     12),
         "is not a UTF-8 text file"},
        {section() + "IPServer: x\n", "line 4: 'IPServer: x' is not of the form name = value"},
    };
    for (const auto& c : cases) {
        for (const auto& old : childLogFiles()) std::filesystem::remove(old);
        writeRegistryText(c.content);
        const ChildResult r = exportOnce();
        EXPECT_EQ(r.exitCode, 1) << c.fault << r.err;
        const std::string named = "Configuration file " + file + ": " + c.fault;
        EXPECT_NE(r.err.find(named), std::string::npos) << r.err;
        const auto errors = linesStarting("ERRO Except EnviaVendas: ");
        ASSERT_EQ(errors.size(), 1u) << c.fault;
        EXPECT_NE(errors[0].find(named), std::string::npos) << errors[0];
    }
    // A byte-order mark, as Windows editors write it, is fine.
    writeRegistryText("\xEF\xBB\xBF" + section());
    const ChildResult r = exportOnce();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(waitingSales(), 0);
}

TEST_F(ExportOnce, SecondExportBesideARunningOneIsRefused) {
    ChildProcess holder({INSTANCE_PROBE, "QELEXP", "hold"}, env(), dir);
    for (int i = 0; i < 500 && holder.outSoFar().empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(holder.outSoFar(), "acquired\n");
    const ChildResult r = exportOnce();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("holds the lock QELEXP"), std::string::npos) << r.err;
    EXPECT_GT(waitingSales(), 0);
    EXPECT_EQ(realStore->requestCount("AJUSTE"), 0);
}

TEST_F(ExportOnce, CommandLineConventions) {
    const std::string exe = EXPORT_ONCE;
    for (const char* help : {"--help", "-h"}) {
        const ChildResult r = runChild({exe, help}, env(), dir);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out.rfind("Usage: qelexp-export-once", 0), 0u) << r.out;
        EXPECT_TRUE(r.err.empty());
    }
    const ChildResult version = runChild({exe, "--version"}, env(), dir);
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("qelexp-export-once ", 0), 0u) << version.out;

    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> usage = {
        {{"--store", "0001", "--station", "001", "--bogus"}, "unknown option --bogus"},
        {{"--store", "0001", "--station"}, "--station needs a value"},
        {{"--store=0001"}, "--store and --station are required"},
        {{"--store=0001", "--station=001", "--max-runs=0"}, "--max-runs takes a whole number"},
        {{"--store=0001", "--station=001", "--fiscal-type", "x"},
         "--fiscal-type takes a whole number"},
        {{"stray"}, "unexpected argument stray"},
    };
    for (const auto& c : usage) {
        std::vector<std::string> argv{exe};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const ChildResult r = runChild(argv, env(), dir);
        EXPECT_EQ(r.exitCode, 2) << c.message;
        EXPECT_EQ(r.err.rfind("qelexp-export-once: " + c.message, 0), 0u) << r.err;
        EXPECT_NE(r.err.find("Usage: qelexp-export-once"), std::string::npos);
        EXPECT_TRUE(r.out.empty());
    }
}

}  // namespace

namespace {

class StationStatus : public ExportOnce {
  protected:
    ChildResult status(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv{STATUS, "--store=0001", "--station=001", "--folder",
                                      dir.string()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return runChild(argv, env(), dir);
    }
};

TEST_F(StationStatus, ShowsWhatWaitsAndWhyWithoutExporting) {
    const std::int64_t waiting = waitingSales();
    const std::string open =
        scalar("SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA <> 'S' AND IDSITUVENDA = 'P'");
    const std::string oldest =
        qel::DateTime::parse(scalar("SELECT MIN(DTABERTUR) FROM VENDA WHERE IDIMPVENDA <> 'S' AND "
                                    "IDSITUVENDA <> 'P'"))
            .toFullText();
    ChildResult r = status();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("  VENDA            " + std::to_string(waiting) + "\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Sales waiting: " + std::to_string(waiting) + "\n"), std::string::npos);
    EXPECT_NE(r.out.find("Sales open at the till: " + open + " "), std::string::npos);
    EXPECT_NE(r.out.find("Oldest waiting sale: " + oldest + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Last run: none in the run logs"), std::string::npos) << r.out;
    EXPECT_EQ(waitingSales(), waiting);  // nothing was exported

    // A failed export, then what the status says about it.
    store->failVerify = true;
    EXPECT_EQ(exportOnce().exitCode, 1);
    r = status({"--log-lines", "3"});
    EXPECT_NE(r.out.find(", failed: ERRO Except ExportaDados: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Last successful transfer: none in the run logs"), std::string::npos);
    EXPECT_NE(r.out.find("resultado: falha"), std::string::npos);
    // The newest lines, converted from Windows-1252.
    EXPECT_NE(r.out.find(" - Resumo da exportação: "), std::string::npos) << r.out;

    store->failVerify = false;
    EXPECT_EQ(exportOnce().exitCode, 0);
    r = status();
    // The open shift and its rows wait for the till; no sale does.
    EXPECT_EQ(r.out.find("  VENDA "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Sales waiting: 0\n"), std::string::npos);
    EXPECT_NE(r.out.find("Oldest waiting sale: none\n"), std::string::npos);
    EXPECT_NE(r.out.find(", exported\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Last successful transfer: none"), std::string::npos);
}

TEST_F(StationStatus, UnreadableStationAndUsage) {
    writeRegistryText("[Software\\Outro]\n");
    ChildResult r = status();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Configuration file " + (dir / "registry.conf").string()),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("Last run:"), std::string::npos);  // the run logs still speak
    r = runChild({STATUS, "--store", "0001", "--station", "001", "--log-lines", "-1"}, env(), dir);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err.rfind("qelexp-status: --log-lines takes a whole number", 0), 0u) << r.err;
    r = runChild({STATUS, "-h"}, env(), dir);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("Usage: qelexp-status", 0), 0u);
}

}  // namespace
