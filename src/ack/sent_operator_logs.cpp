#include "ack/sent_operator_logs.h"

#include "selection/catalogue.h"

namespace qel::agent {

SentOperatorLogs::SentOperatorLogs(const Variant& packets) {
    if (!packets.isArray() || packets.asArray().size() <= kOperatorLogEntry) return;
    const Variant& element = packets.asArray()[kOperatorLogEntry];
    if (!element.isPacket()) return;
    const Dataset& sent = element.asPacket();
    const int store = sent.findField("CDFILIAL");
    const int station = sent.findField("CDCAIXA");
    const int operation = sent.findField("IDOPERQEL");
    const int operatorCode = sent.findField("CDOPERRESPOP");
    const int time = sent.findField("DTHROPERQEL");
    if (store < 0 || station < 0 || operation < 0 || operatorCode < 0 || time < 0) return;
    for (const Row& row : sent.rows()) {
        const Variant& when = row[static_cast<std::size_t>(time)];
        if (when.isEmpty()) continue;
        const DateTime exact = when.asDateTime();
        byKey_[key(row[static_cast<std::size_t>(store)], row[static_cast<std::size_t>(station)],
                   row[static_cast<std::size_t>(operation)],
                   row[static_cast<std::size_t>(operatorCode)], exact)]
            .push_back(exact);
    }
}

const std::vector<DateTime>& SentOperatorLogs::times(const Dataset& verdicts) const {
    static const std::vector<DateTime> none;
    if (byKey_.empty()) return none;
    const Variant& when = verdicts.field("DTHROPERQEL").value();
    if (when.isEmpty()) return none;
    const auto found =
        byKey_.find(key(verdicts.field("CDFILIAL").value(), verdicts.field("CDCAIXA").value(),
                        verdicts.field("IDOPERQEL").value(), verdicts.field("CDOPERRESPOP").value(),
                        when.asDateTime()));
    return found == byKey_.end() ? none : found->second;
}

std::string SentOperatorLogs::key(const Variant& store, const Variant& station,
                                  const Variant& operation, const Variant& operatorCode,
                                  const DateTime& time) {
    std::string out;
    for (const Variant* part : {&store, &station, &operation, &operatorCode}) {
        out += part->asString();
        out += '\x1f';
    }
    // The second the verdict names: milliseconds are cut, not rounded.
    out += time.format("yyyy-mm-dd hh:nn:ss");
    return out;
}

}  // namespace qel::agent
