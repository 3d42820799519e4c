#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace qel::server {

// What one station credential may do: call for its store and stations, and
// write only rows whose CDFILIAL is that store and whose CDCAIXA is one of
// those stations. A collector station that exports for its associated
// stations lists all of them.
struct StationGrant {
    std::string store;
    std::vector<std::string> stations;
    bool allStations = false;  // "*": every station of the store

    bool allowsStore(std::string_view s) const { return s == store; }
    bool allowsStation(std::string_view station) const;
    // The station database this credential stands for, as the central keys
    // name it: "<CDFILIAL>/<first CDCAIXA listed>" ("<CDFILIAL>/*" for all).
    // The agent's own station is listed first, its associated ones after it,
    // so adding an associated station keeps the name.
    std::string database() const;
};

// The station credentials file: one credential per line,
//   <token> <CDFILIAL> <CDCAIXA>[,<CDCAIXA>...]   or   <token> <CDFILIAL> *
// blank lines and lines starting with '#' ignored. Throws ConfigError with
// the line number on a malformed line or a repeated token.
class Credentials {
  public:
    static Credentials load(const std::filesystem::path& file);
    static Credentials parse(std::string_view text);

    void add(std::string token, StationGrant grant);
    // The grant of a bearer token; nullptr when the token is unknown.
    const StationGrant* find(std::string_view token) const;
    bool empty() const { return grants_.empty(); }
    std::size_t size() const { return grants_.size(); }

  private:
    std::map<std::string, StationGrant, std::less<>> grants_;
};

// The station credentials a running server checks requests against,
// replaceable while it serves. A request keeps the set it was admitted under
// until it is answered, so a replacement never pulls a grant from under a
// call in flight; the next request is checked against the new set.
class SharedCredentials {
  public:
    explicit SharedCredentials(Credentials initial);
    std::shared_ptr<const Credentials> current() const;
    void replace(Credentials next);

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<const Credentials> current_;
};

}  // namespace qel::server
