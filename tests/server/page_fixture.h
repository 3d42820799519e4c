#pragma once

#include <httplib.h>

#include <string>

#include "loopback_fixture.h"

namespace qel::testing {

// The loopback server, its pages read as a browser or a scraper reads them.
class PageFixture : public Loopback {
  protected:
    // GET `path` on a fresh connection, with this Authorization header when given.
    httplib::Result get(const std::string& path, const std::string& authorization = {}) {
        httplib::Client c("127.0.0.1", port_);
        httplib::Headers h;
        if (!authorization.empty()) h.emplace("Authorization", authorization);
        return c.Get(path, h);
    }
};

}  // namespace qel::testing
