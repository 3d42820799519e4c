#include "app/lab_settings.h"

#include <charconv>

namespace qel::app {
namespace {

constexpr CrashPoint kPoints[] = {CrashPoint::AckBefore, CrashPoint::AckDuring,
                                  CrashPoint::AckAfter, CrashPoint::Cleanup};

// A whole decimal number in [low, high], digits only.
std::optional<std::int64_t> number(std::string_view text, std::int64_t low, std::int64_t high) {
    if (text.empty() || text.size() > 12) return std::nullopt;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.front() == '-' ||
        value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

std::optional<CrashPlan> crashPlan(std::string_view text) {
    const auto colon = text.find(':');
    const std::string_view name = text.substr(0, colon);
    CrashPlan plan;
    bool known = false;
    for (CrashPoint p : kPoints) {
        if (crashPointName(p) == name) {
            plan.point = p;
            known = true;
        }
    }
    if (!known) return std::nullopt;
    if (colon != std::string_view::npos) {
        const auto n = number(text.substr(colon + 1), 1, 1'000'000'000);
        if (!n) return std::nullopt;
        plan.occurrence = *n;
    }
    return plan;
}

}  // namespace

std::string_view crashPointName(CrashPoint point) {
    switch (point) {
        case CrashPoint::AckBefore:
            return "ack-before";
        case CrashPoint::AckDuring:
            return "ack-during";
        case CrashPoint::AckAfter:
            return "ack-after";
        case CrashPoint::Cleanup:
            return "cleanup";
    }
    return "?";
}

LabSettings LabSettings::read(const std::function<const char*(const char*)>& lookup) {
    LabSettings settings;
    if (const char* v = lookup("QELEXP_TIMER_SECONDS"); v && *v) {
        if (const auto seconds = number(v, 1, 3600)) {
            settings.timerPeriod = std::chrono::seconds(*seconds);
        } else {
            settings.problems.push_back(std::string("QELEXP_TIMER_SECONDS=\"") + v +
                                        "\" ignorado: esperado um número inteiro de 1 a 3600.");
        }
    }
    if (const char* v = lookup("QELEXP_CRASH_AT"); v && *v) {
        if (const auto plan = crashPlan(v)) {
            settings.crashAt = plan;
        } else {
            settings.problems.push_back(
                std::string("QELEXP_CRASH_AT=\"") + v +
                "\" ignorado: esperado ack-before, ack-during, ack-after ou cleanup, "
                "seguido opcionalmente de :N (N de 1 a 1000000000).");
        }
    }
    return settings;
}

}  // namespace qel::app
