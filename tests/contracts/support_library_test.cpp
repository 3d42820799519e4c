#include <gtest/gtest.h>

#include "contracts/check_result.h"
#include "contracts/connection_string.h"
#include "contracts/support_library.h"
#include "core/error.h"

using namespace qel::contracts;

TEST(RoundABNT, FollowsTheFiveRule) {
    struct Case {
        double in, out;
    };
    for (const Case c : {Case{1.2350, 1.24},
                         {1.2450, 1.24},
                         {1.2451, 1.25},
                         {1.2349, 1.23},
                         {1.2360, 1.24},
                         {2.675, 2.68},
                         {2.665, 2.66},
                         {0.005, 0.0},
                         {0.015, 0.02},
                         {-1.2350, -1.24},
                         {-1.2450, -1.24},
                         {-1.2451, -1.25},
                         {10.0, 10.0},
                         {1234567.895, 1234567.9},
                         {0.0, 0.0}}) {
        EXPECT_DOUBLE_EQ(RoundABNT(c.in, 2), c.out) << c.in;
    }
    // An exact half takes its parity from the last kept digit, whatever the
    // number of digits before it, and a raise carries across the point.
    for (const Case c : {Case{2.5, 2.0},
                         {3.5, 4.0},
                         {0.5, 0.0},
                         {12.5, 12.0},
                         {23.5, 24.0},
                         {99.5, 100.0},
                         {1000.5, 1000.0},
                         {-12.5, -12.0},
                         {-23.5, -24.0},
                         {12.51, 13.0}}) {
        EXPECT_DOUBLE_EQ(RoundABNT(c.in, 0), c.out) << c.in;
    }
    EXPECT_DOUBLE_EQ(RoundABNT(0.25, 1), 0.2);
    EXPECT_DOUBLE_EQ(RoundABNT(0.35, 1), 0.4);
    EXPECT_DOUBLE_EQ(RoundABNT(9.995, 2), 10.0);
    EXPECT_DOUBLE_EQ(RoundABNT(19.985, 2), 19.98);
    EXPECT_DOUBLE_EQ(RoundABNT(1.23456785, 7), 1.2345678);
}

TEST(Trunc2, NeverLosesACentToBinaryRepresentation) {
    struct Case {
        double in, out;
    };
    for (const Case c : {Case{9.999, 9.99},
                         {3 * 3.333, 9.99},
                         {1.15, 1.15},
                         {0.29, 0.29},
                         {0.29 * 100 / 100, 0.29},
                         {0.1 + 0.2, 0.3},
                         {1.239, 1.23},
                         {-1.239, -1.23},
                         {-0.001, 0.0},
                         {100.0, 100.0}}) {
        EXPECT_DOUBLE_EQ(Trunc2(c.in), c.out) << c.in;
    }
}

TEST(SupportLibrary, EmptyStringCountsBlanksAsEmpty) {
    EXPECT_TRUE(EmptyString(""));
    EXPECT_TRUE(EmptyString("   "));
    EXPECT_FALSE(EmptyString(" 100"));
    EXPECT_EQ(iif(true, qel::Variant("a"), qel::Variant("b")).asString(), "a");
    EXPECT_EQ(iif(false, qel::Variant("a"), qel::Variant("b")).asString(), "b");
}

TEST(CheckResultServ, ReturnsThePayloadOrRaisesTheServersMessage) {
    using qel::Variant;
    using qel::VariantArray;
    EXPECT_EQ(CheckResultServ(Variant(VariantArray{Variant(true), Variant("payload")}), true, 0)
                  .asString(),
              "payload");
    try {
        CheckResultServ(Variant(VariantArray{Variant(false), Variant("Tabela travada")}), true, 0);
        FAIL();
    } catch (const qel::ServerError& e) {
        EXPECT_STREQ(e.what(), "Tabela travada");
    }
    for (const Variant& bad : {Variant(), Variant("OK"), Variant(VariantArray{Variant(true)}),
                               Variant(VariantArray{Variant("true"), Variant(1)}),
                               Variant(VariantArray{Variant(false), Variant(1)})}) {
        EXPECT_THROW(CheckResultServ(bad, true, 0), qel::ServerError);
    }
}

TEST(ConnectionString, ParsesQuotedValuesAndKeepsOrder) {
    const auto pairs = parseConnectionString(
        "Provider=SQLOLEDB.1;Password='a;b';Persist Security Info=True;User ID=sa;"
        "Initial Catalog=QELCAIXA;Data Source=CAIXA01\\SQLEXPRESS");
    ASSERT_EQ(pairs.size(), 6u);
    EXPECT_EQ(connectionStringValue(pairs, "password"), "a;b");
    EXPECT_EQ(connectionStringValue(pairs, "DATA SOURCE"), "CAIXA01\\SQLEXPRESS");
    EXPECT_EQ(parseConnectionString(formatConnectionString(pairs)), pairs);
    EXPECT_THROW(parseConnectionString("Provider=SQLite;lixo"), qel::ConfigError);
    EXPECT_THROW(parseConnectionString("Password='aberta"), qel::ConfigError);
}

namespace {

class FakeRegistryPlatform : public qel::platform::Platform {
  public:
    std::optional<std::string> value;
    qel::platform::InstanceLock acquireSingleInstance(std::string_view) override { return {}; }
    std::filesystem::path executableFolder() const override { return "/opt/qelexp"; }
    std::vector<qel::platform::ProcessInfo> listProcesses() const override { return {}; }
    qel::platform::Status terminateProcess(std::int64_t) override { return {}; }
    std::int64_t currentProcessId() const override { return 1; }
    qel::platform::Status startShellCommand(std::string_view) override { return {}; }
    qel::platform::Status startProgram(const std::filesystem::path&, std::string_view) override {
        return {};
    }
    std::optional<std::string> readMachineString(std::string_view key,
                                                 std::string_view name) const override {
        EXPECT_EQ(key, kOrbelKey);
        EXPECT_EQ(name, sStringConexao);
        return value;
    }
    void installTrayIcon(std::string_view, std::string_view, std::function<void()>) override {}
    void removeTrayIcon() override {}
    std::string nativeExecutableName(std::string_view n) const override { return std::string(n); }
    std::vector<qel::platform::ProcessInfo> agentProcesses(std::string_view) const override {
        return {};
    }
    qel::platform::Status startRestartCommand(const std::filesystem::path&, std::string_view,
                                              bool) override {
        return {};
    }
    void prepareStopRequests() override {}
    std::int64_t windowHandle() const override { return 1; }
    void removeStaleTrayIcon(std::int64_t) override {}
    bool waitForStopRequest(std::optional<std::chrono::milliseconds>) override { return true; }
};

}  // namespace

TEST(GetStringConexQel, DefaultsToTheEmbeddedDatabaseAndPutsCatalogBeforeSource) {
    FakeRegistryPlatform platform;
    EXPECT_EQ(GetStringConexQel(platform, ""),
              "Provider=SQLite;Initial Catalog=QELCAIXA;Data Source=/opt/qelexp");
    platform.value = "Data Source=LOJA01;User ID=sa;Provider=SQLOLEDB.1;Initial Catalog=QELCAIXA";
    const std::string s = GetStringConexQel(platform, "");
    EXPECT_EQ(s, "User ID=sa;Provider=SQLOLEDB.1;Initial Catalog=QELCAIXA;Data Source=LOJA01");
    EXPECT_LT(s.find("Catalog="), s.find("Data Source="));
    platform.value = "Provider=SQLOLEDB.1;Data Source=LOJA01";
    EXPECT_THROW(GetStringConexQel(platform, ""), qel::ConfigError);
}
