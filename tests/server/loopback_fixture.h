#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "application_server.h"
#include "central_store.h"
#include "contracts/check_result.h"
#include "contracts/net/server_connections.h"
#include "core/clock.h"
#include "http_server.h"
#include "platform/platform.h"

namespace qel::testing {

// The real application server on an ephemeral loopback port with a central
// store in a temporary folder, and the agent's real server connections
// reading their address from a registry file that points at it.
class Loopback : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("qel_server_test_" + std::to_string(::getpid()) + "_" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
        registry_ = folder_ / "registry.conf";
        ::setenv("QELEXP_REGISTRY", registry_.c_str(), 1);
        store_ = server::openSqliteStore(folder_ / "central.db");
        app_ = std::make_unique<server::ApplicationServer>(*store_, clock_);
        platform_ = platform::createPlatform();
        connections_ = std::make_unique<net::ServerConnections>(
            *platform_, [this](std::string_view line) { log_.emplace_back(line); });
    }

    void TearDown() override {
        connections_.reset();
        if (http_) http_->stop();
        http_.reset();
        app_.reset();
        store_.reset();
        std::filesystem::remove_all(folder_);
    }

    // Starts serving with these options and points the registry at it.
    void serve(server::HttpServerOptions options = {}) {
        http_ = std::make_unique<server::HttpServer>(*app_, std::move(options));
        port_ = http_->bindToAnyPort("127.0.0.1");
        http_->start();
        setRegistry({{"IPServer", "127.0.0.1:" + std::to_string(port_)}});
    }

    void setRegistry(const std::vector<std::pair<std::string, std::string>>& values) {
        std::ofstream out(registry_);
        out << "[HKEY_LOCAL_MACHINE\\Software\\MORADEX\\Sistemas Integrados Moradex\\Orbel]\n";
        for (const auto& [name, value] : values) out << name << " = \"" << value << "\"\n";
    }

    // A method call as the agent makes it: call, then CheckResultServ(result, true, 0).
    static Variant callChecked(net::TNetConnection& c, std::string_view method,
                               const VariantArray& args) {
        return contracts::CheckResultServ(c.call(method, args), true, 0);
    }

    std::filesystem::path folder_;
    std::filesystem::path registry_;
    ManualClock clock_;
    std::unique_ptr<server::CentralStore> store_;
    std::unique_ptr<server::ApplicationServer> app_;
    std::unique_ptr<server::HttpServer> http_;
    std::unique_ptr<platform::Platform> platform_;
    std::unique_ptr<net::ServerConnections> connections_;
    std::vector<std::string> log_;
    int port_ = 0;
};

}  // namespace qel::testing
