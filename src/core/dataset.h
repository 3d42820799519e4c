#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/variant.h"

namespace qel {

// Type of a dataset field, as a selection delivers it and a data packet
// carries it.
enum class FieldType { String, Integer, Float, Decimal, Date, DateTime, Boolean, Blob };

const char* fieldTypeName(FieldType type);

struct FieldDef {
    std::string name;
    FieldType type = FieldType::String;
    int size = 0;   // declared length of a string field (0: unbounded)
    int scale = 0;  // digits after the point of a decimal field

    friend bool operator==(const FieldDef&, const FieldDef&) = default;
};

using Row = std::vector<Variant>;

class Dataset;

// Read access to one field of the current row. A null reads as "" or 0, as
// the stations' client datasets do.
class FieldRef {
  public:
    FieldRef(const Dataset& dataset, std::size_t index) : dataset_(&dataset), index_(index) {}
    const FieldDef& def() const;
    const Variant& value() const;
    bool isNull() const { return value().isEmpty(); }
    std::string asString() const;
    std::int64_t asInteger() const;
    double asFloat() const;
    DateTime asDateTime() const;
    bool asBoolean() const;

  private:
    const Dataset* dataset_;
    std::size_t index_;
};

// An in-memory client dataset: field definitions, rows and a cursor. A data
// packet is a Dataset shared read-only through a Variant.
class Dataset {
  public:
    Dataset() = default;
    explicit Dataset(std::vector<FieldDef> fields) : fields_(std::move(fields)) {}

    const std::vector<FieldDef>& fields() const { return fields_; }
    const std::vector<Row>& rows() const { return rows_; }
    std::vector<Row>& rows() { return rows_; }

    // Index of a field by case-insensitive name; -1 when absent.
    int findField(std::string_view name) const;
    // Index of a field; throws Error "Field 'X' not found" when absent.
    std::size_t fieldIndex(std::string_view name) const;

    // Appends a row; it must have one value per field.
    void append(Row row);
    void clear() { rows_.clear(), cursor_ = 0; }

    // Cursor.
    std::size_t recordCount() const { return rows_.size(); }
    bool isEmpty() const { return rows_.empty(); }
    void first() { cursor_ = 0; }
    void next() {
        if (cursor_ < rows_.size()) ++cursor_;
    }
    bool eof() const { return cursor_ >= rows_.size(); }
    std::size_t recNo() const { return cursor_; }
    void moveTo(std::size_t index) { cursor_ = index; }

    // Field of the current row; throws when the field is missing or the cursor is at eof.
    FieldRef field(std::string_view name) const;
    FieldRef field(std::size_t index) const { return FieldRef(*this, index); }
    const Row& currentRow() const;

    // Moves to the first row whose fields equal the values, compared as text
    // without regard to case; returns false (cursor unchanged) when none does.
    bool locate(const std::vector<std::string>& fieldNames, const std::vector<Variant>& values);

    // Replaces this dataset's fields and rows with a packet's.
    void loadPacket(const Dataset& packet);
    // A read-only copy of the fields and rows, to travel in a Variant.
    std::shared_ptr<const Dataset> toPacket() const;

    // Same fields and same rows (cursor ignored).
    friend bool operator==(const Dataset& a, const Dataset& b);

  private:
    std::vector<FieldDef> fields_;
    std::vector<Row> rows_;
    std::size_t cursor_ = 0;
};

}  // namespace qel
