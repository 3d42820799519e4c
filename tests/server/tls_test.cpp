// The agent's connection over HTTPS: the server's certificate must be
// trusted and name the host the station connects to.

#include <gtest/gtest.h>

#include <cstdlib>

#include "loopback_fixture.h"

namespace qel::testing {
namespace {

class Tls : public Loopback {
  protected:
    // A self-signed certificate for `subjectAltName` and its key, in the test folder.
    void makeCertificate(const std::string& name, const std::string& subjectAltName) {
        const std::string command =
            "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=qelexp-test"
            " -addext subjectAltName=" +
            subjectAltName + " -keyout '" + (folder_ / (name + ".key")).string() + "' -out '" +
            (folder_ / (name + ".pem")).string() + "' >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << "openssl could not make a certificate";
    }

    void serveTls(const std::string& name) {
        server::HttpServerOptions options;
        options.certFile = (folder_ / (name + ".pem")).string();
        options.keyFile = (folder_ / (name + ".key")).string();
        serve(std::move(options));
    }

    void stationSettings(const std::string& caName) {
        setRegistry(
            {{"IPServer", "127.0.0.1:" + std::to_string(port_)},
             {"ServerScheme", "https"},
             {"ServerCAFile", caName.empty() ? "" : (folder_ / (caName + ".pem")).string()}});
    }
};

TEST_F(Tls, ATrustedCertificateForTheHostCarriesTheCalls) {
    makeCertificate("good", "IP:127.0.0.1");
    serveTls("good");
    stationSettings("good");
    ASSERT_TRUE(connections_->ConectaServidor(true, "m")) << (log_.empty() ? "" : log_[0]);
    const Variant due = callChecked(connections_->netInsereServidor, "getLimpezaDiaria",
                                    {Variant("0001"), Variant("001")});
    EXPECT_TRUE(due.asBoolean());
}

TEST_F(Tls, AnUntrustedOrWronglyNamedCertificateIsRefused) {
    makeCertificate("good", "IP:127.0.0.1");
    makeCertificate("other", "DNS:caixa.example");
    serveTls("other");

    stationSettings("other");  // trusted, but names another host
    EXPECT_FALSE(connections_->ConectaServidor(true, "m"));
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_NE(log_[0].find("https://127.0.0.1"), std::string::npos) << log_[0];

    log_.clear();
    stationSettings("good");  // names the host, but is not the certificate served
    EXPECT_FALSE(connections_->ConectaServidor(true, "m"));
    EXPECT_EQ(log_.size(), 1u);

    log_.clear();
    stationSettings("");  // the system's trust store does not know a self-signed one
    EXPECT_FALSE(connections_->ConectaServidor(true, "m"));
    EXPECT_EQ(log_.size(), 1u);
}

}  // namespace
}  // namespace qel::testing
