#include "credentials.h"

#include <fstream>
#include <sstream>

#include "core/error.h"

namespace qel::server {

bool StationGrant::allowsStation(std::string_view station) const {
    if (allStations) return true;
    for (const std::string& s : stations) {
        if (s == station) return true;
    }
    return false;
}

std::string StationGrant::database() const {
    return store + "/" + (allStations || stations.empty() ? std::string("*") : stations.front());
}

Credentials Credentials::load(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw ConfigError("Cannot read the station credentials file " + file.string());
    std::ostringstream text;
    text << in.rdbuf();
    return parse(text.str());
}

Credentials Credentials::parse(std::string_view text) {
    Credentials out;
    std::istringstream in{std::string(text)};
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream words(line);
        std::string token, store, stations, extra;
        if (!(words >> token) || token[0] == '#') continue;
        if (!(words >> store >> stations) || (words >> extra)) {
            throw ConfigError("Station credentials line " + std::to_string(number) +
                              ": expected <token> <CDFILIAL> <CDCAIXA>[,<CDCAIXA>...] or *");
        }
        StationGrant grant;
        grant.store = store;
        if (stations == "*") {
            grant.allStations = true;
        } else {
            std::istringstream list(stations);
            for (std::string s; std::getline(list, s, ',');) {
                if (!s.empty()) grant.stations.push_back(s);
            }
        }
        if (out.find(token)) {
            throw ConfigError("Station credentials line " + std::to_string(number) +
                              ": the token is already listed");
        }
        out.add(token, std::move(grant));
    }
    return out;
}

void Credentials::add(std::string token, StationGrant grant) {
    grants_.insert_or_assign(std::move(token), std::move(grant));
}

const StationGrant* Credentials::find(std::string_view token) const {
    auto it = grants_.find(token);
    return it == grants_.end() ? nullptr : &it->second;
}

SharedCredentials::SharedCredentials(Credentials initial)
    : current_(std::make_shared<const Credentials>(std::move(initial))) {}

std::shared_ptr<const Credentials> SharedCredentials::current() const {
    std::lock_guard lock(mutex_);
    return current_;
}

void SharedCredentials::replace(Credentials next) {
    auto fresh = std::make_shared<const Credentials>(std::move(next));
    std::lock_guard lock(mutex_);
    current_.swap(fresh);
}

}  // namespace qel::server
