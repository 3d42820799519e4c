#include "ack/sent_row_times.h"

#include <algorithm>
#include <utility>

namespace qel::agent {

SentRowTimes::SentRowTimes(const Variant& packets, std::size_t element,
                           std::vector<std::string_view> keys, std::string_view time,
                           std::string_view textForm)
    : keys_(std::move(keys)),
      time_(time),
      textForm_(textForm),
      // Milliseconds are cut, not rounded: the second the verdict names.
      secondForm_(textForm.empty() ? "yyyy-mm-dd hh:nn:ss" : textForm) {
    if (!packets.isArray() || packets.asArray().size() <= element) return;
    const Variant& packet = packets.asArray()[element];
    if (!packet.isPacket()) return;
    const Dataset& sent = packet.asPacket();
    std::vector<int> columns;
    for (std::string_view name : keys_) columns.push_back(sent.findField(name));
    const int timeColumn = sent.findField(time_);
    if (timeColumn < 0 || std::find(columns.begin(), columns.end(), -1) != columns.end()) return;
    std::vector<const Variant*> keyValues(columns.size());
    for (const Row& row : sent.rows()) {
        const Variant& when = row[static_cast<std::size_t>(timeColumn)];
        if (when.isEmpty()) continue;
        for (std::size_t k = 0; k < columns.size(); ++k) {
            keyValues[k] = &row[static_cast<std::size_t>(columns[k])];
        }
        const DateTime exact = when.asDateTime();
        byKey_[key(keyValues, exact.format(secondForm_))].push_back(exact);
    }
}

const std::vector<DateTime>& SentRowTimes::times(const Dataset& verdicts) const {
    static const std::vector<DateTime> none;
    if (byKey_.empty()) return none;
    const Variant& when = verdicts.field(time_).value();
    if (when.isEmpty()) return none;
    std::vector<const Variant*> keyValues;
    for (std::string_view name : keys_) keyValues.push_back(&verdicts.field(name).value());
    const std::string* text = when.get<std::string>();
    const std::string second =
        textForm_.empty() || text == nullptr ? when.asDateTime().format(secondForm_) : *text;
    const auto found = byKey_.find(key(keyValues, second));
    return found == byKey_.end() ? none : found->second;
}

std::string SentRowTimes::key(const std::vector<const Variant*>& keyValues,
                              std::string_view time) const {
    std::string out;
    for (const Variant* part : keyValues) {
        out += part->asString();
        out += '\x1f';
    }
    out += time;
    return out;
}

}  // namespace qel::agent
