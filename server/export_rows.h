#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "canonical_row.h"
#include "core/dataset.h"
#include "credentials.h"
#include "table_rules.h"

namespace qel::server {

// Verdicts written in IDSITUACAO. Only "OK" flags a row as exported; each
// other code has a readable reason in DSSITUACAO (where the layout has it).
inline constexpr std::string_view kVerdictOk = "OK";
inline constexpr std::string_view kVerdictChanged = "DIF";  // stored row differs from this one
inline constexpr std::string_view kVerdictMissing = "NE";   // no row stored under this key
inline constexpr std::string_view kVerdictRefused = "ERR";  // the row cannot be stored

// Store codes (CDFILIAL, CDCAIXA) and the other texts a call files under a
// station are kept as text by the central store, where PostgreSQL holds no
// NUL character and indexes them. A text that cannot be such a code is
// refused alike on every store: why, or nullopt when it is fine.
inline constexpr std::size_t kMaxCodeBytes = 255;
std::optional<std::string> codeProblem(std::string_view name, std::string_view code);

struct Verdict {
    std::string_view code;
    std::string reason;
};

// One packet of the array, with its key and echoed columns located once so
// that each row is handled without name lookups.
class PacketView {
  public:
    PacketView(const TableRule& rule, const Dataset& data);

    const TableRule& rule() const { return *rule_; }
    const Dataset& data() const { return *data_; }

    // Fills the row's central key and its content, or returns why the row
    // cannot be stored: a verdict key column missing, null or of the wrong
    // type, or a row of another store or station than `grant` allows (null:
    // any; a row with no CDFILIAL or CDCAIXA value takes the caller's).
    // `database` names the station database the call comes from; it is part
    // of the key unless the row's own key names its store and station.
    std::optional<std::string> analyse(std::size_t row, const StationGrant* grant,
                                       std::string_view database, Bytes& key, Bytes& content) const;

    // The verdict packet of one or more elements (result 12 answers two):
    // per row, the key columns under the local names, the echoed columns and
    // IDSITUACAO (and DSSITUACAO in the generic layout), in element order.
    static std::shared_ptr<const Dataset> verdictPacket(
        const std::vector<const PacketView*>& views,
        const std::vector<const std::vector<Verdict>*>& verdicts);

  private:
    std::vector<FieldDef> verdictFields() const;
    Row verdictRow(std::size_t row, const Verdict& verdict) const;

    const TableRule* rule_;
    const Dataset* data_;
    RowContentCoder content_;
    std::vector<int> keyColumns_;     // verdict keys; -1: absent from the packet
    std::vector<int> rowKeyColumns_;  // the local key; -1: absent
    std::vector<int> echoColumns_;    // -1: absent
    int storeColumn_ = -1;
    int stationColumn_ = -1;
    std::string missingKey_;  // name of the first verdict key column absent
};

}  // namespace qel::server
