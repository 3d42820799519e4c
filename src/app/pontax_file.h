#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qel::app {

// The point-of-sale program's parameter file "Pontax.cds": a client dataset
// saved as a file. Read is its XML form:
//   <DATAPACKET><METADATA><FIELDS><FIELD attrname="CDFILIAL" .../>...</FIELDS>
//   </METADATA><ROWDATA><ROW CDFILIAL="0001" CDCAIXA="001" .../></ROWDATA></DATAPACKET>
// Only the first current record matters (a row the change log marks deleted
// is skipped; an original row followed by its modified version reads as the
// modified one). The binary form is recognised and refused with an error
// that names it. The file is input from outside: anything malformed,
// truncated or oversized is an error, never a crash.
class PontaxFile {
  public:
    // Largest file accepted; the real one is a few hundred bytes.
    static constexpr std::uintmax_t kMaxSize = 4 * 1024 * 1024;

    // Throws qel::Error with a message naming what is wrong.
    static PontaxFile load(const std::filesystem::path& file);
    static PontaxFile parse(std::string_view content);

    bool hasRecord() const { return first_.has_value(); }
    const std::vector<std::string>& fields() const { return fields_; }

    // A field of the first record as text (UTF-8): empty when the value is
    // null or there is no record. Throws when the file declares no such field.
    std::string text(std::string_view field) const;
    // The same as an integer: 0 when empty; throws on a value that is not one.
    std::int64_t integer(std::string_view field) const;

  private:
    std::vector<std::string> fields_;
    // Upper-cased field name -> value, of the first current record.
    std::optional<std::map<std::string, std::string>> first_;
};

}  // namespace qel::app
