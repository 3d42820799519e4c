// The remote connection's WinHTTP transport against the real application
// server (the Linux build, on loopback): the same calls the agent makes.
#include <gtest/gtest.h>

#include <cstdlib>

#include "contracts/check_result.h"
#include "contracts/net/net_connection.h"
#include "core/dataset.h"
#include "core/error.h"
#include "protocol/gzip.h"
#include "sample_packets.h"

using qel::ServerError;
using qel::Variant;
using qel::VariantArray;
using qel::net::TNetConnection;

namespace {

class WinHttp : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* server = std::getenv("QELEXP_TEST_SERVER");
        if (!server || !*server) GTEST_SKIP() << "QELEXP_TEST_SERVER (host:port) not set";
        const std::string address = server;
        host_ = address.substr(0, address.find(':'));
        port_ = std::stoi(address.substr(address.find(':') + 1));
    }
    std::string host_;
    int port_ = 0;
};

}  // namespace

TEST_F(WinHttp, CallsTheServersMethodsAndBringsBackTypedPackets) {
    TNetConnection exp("Exp.rdmInsereServidor");
    exp.BeforeConnect = [this](TNetConnection& self) {
        self.Host = host_;
        self.Port = port_;
    };
    int disconnects = 0;
    exp.BeforeDisconnect = [&](TNetConnection&) { ++disconnects; };
    exp.open();
    ASSERT_TRUE(exp.connected());

    // Large enough to travel gzip-compressed both ways.
    const VariantArray packets = qel::testing::samplePacketArray(200, "0001", "W01");
    const auto check = [](const Variant& v) { return qel::contracts::CheckResultServ(v, true, 0); };
    check(exp.call("setInsereServidor",
                   {Variant("0001"), Variant("W01"), Variant("01"), Variant(packets)}));
    const Variant verdicts = check(
        exp.call("getVerificaExportacao", {Variant("0001"), Variant("W01"), Variant(packets)}));
    ASSERT_EQ(verdicts.kind(), qel::VariantKind::Array);
    EXPECT_EQ(verdicts.asArray().size(), 22u);
    EXPECT_TRUE(check(exp.call("getMinDTULTATUEXT", {Variant(qel::DateTime(46000.25))})) ==
                Variant(true));

    // A refused call comes back as the server's failure for CheckResultServ.
    EXPECT_THROW(check(exp.call("naoExiste", {})), ServerError);
    exp.close();
    exp.close();
    EXPECT_EQ(disconnects, 1);
    EXPECT_THROW(exp.call("getMinDTULTATUEXT", {}), ServerError);
}

TEST_F(WinHttp, UnreachableOrMissingAddressesFailTheOpen) {
    TNetConnection c("Exp.rdmInsereServidor");
    c.Host = "127.0.0.1";
    c.Port = 1;  // nothing listens there
    try {
        c.open();
        FAIL() << "expected a connect failure";
    } catch (const ServerError& e) {
        EXPECT_NE(std::string(e.what()).find("127.0.0.1:1"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(c.connected());
    c.Host.clear();
    EXPECT_THROW(c.open(), ServerError);
    c.Host = "127.0.0.1";
    c.Port = 70000;
    EXPECT_THROW(c.open(), ServerError);
}
