#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "application_server.h"

namespace qel::server {

// A GET page served beside the protocol (the fleet page, the metrics), kept
// free of the HTTP library so that any front can serve it.
struct PageRequest {
    std::string authorization;  // the Authorization header, as sent
    std::string query;          // the target after '?', as sent ("" when none)
};

struct PageAnswer {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

using PageHandler = std::function<PageAnswer(const PageRequest&)>;
using PageRoutes = std::map<std::string, PageHandler, std::less<>>;

// What the front reports of each method call it answered.
struct CallRecord {
    std::string_view method;
    int status = 200;
    bool failed = false;  // a failure envelope or a refused request
    double seconds = 0;
    const CallOutcome* outcome = nullptr;  // null when the call never reached the server objects
};

}  // namespace qel::server
