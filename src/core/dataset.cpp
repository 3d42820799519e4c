#include "core/dataset.h"

#include "core/error.h"
#include "core/text.h"

namespace qel {

const char* fieldTypeName(FieldType type) {
    switch (type) {
        case FieldType::String:
            return "String";
        case FieldType::Integer:
            return "Integer";
        case FieldType::Float:
            return "Float";
        case FieldType::Decimal:
            return "Decimal";
        case FieldType::Date:
            return "Date";
        case FieldType::DateTime:
            return "DateTime";
        case FieldType::Boolean:
            return "Boolean";
        case FieldType::Blob:
            return "Blob";
    }
    return "?";
}

const FieldDef& FieldRef::def() const {
    return dataset_->fields()[index_];
}

const Variant& FieldRef::value() const {
    return dataset_->currentRow()[index_];
}

std::string FieldRef::asString() const {
    const Variant& v = value();
    if (v.isEmpty()) return {};
    if (def().type == FieldType::Date && v.kind() == VariantKind::DateTime) {
        return v.get<DateTime>()->toDateText();
    }
    return v.asString();
}

std::int64_t FieldRef::asInteger() const {
    const Variant& v = value();
    return v.isEmpty() ? 0 : v.asInteger();
}

double FieldRef::asFloat() const {
    const Variant& v = value();
    return v.isEmpty() ? 0.0 : v.asFloat();
}

DateTime FieldRef::asDateTime() const {
    const Variant& v = value();
    return v.isEmpty() ? DateTime() : v.asDateTime();
}

bool FieldRef::asBoolean() const {
    const Variant& v = value();
    return v.isEmpty() ? false : v.asBoolean();
}

int Dataset::findField(std::string_view name) const {
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        if (text::iequals(fields_[i].name, name)) return static_cast<int>(i);
    }
    return -1;
}

std::size_t Dataset::fieldIndex(std::string_view name) const {
    const int index = findField(name);
    if (index < 0) throw Error("Field '" + std::string(name) + "' not found");
    return static_cast<std::size_t>(index);
}

void Dataset::append(Row row) {
    if (row.size() != fields_.size()) {
        throw Error("Row has " + std::to_string(row.size()) + " values for " +
                    std::to_string(fields_.size()) + " fields");
    }
    rows_.push_back(std::move(row));
}

FieldRef Dataset::field(std::string_view name) const {
    return FieldRef(*this, fieldIndex(name));
}

const Row& Dataset::currentRow() const {
    if (eof()) throw Error("Dataset is at the end: no current record");
    return rows_[cursor_];
}

bool Dataset::locate(const std::vector<std::string>& fieldNames,
                     const std::vector<Variant>& values) {
    if (fieldNames.size() != values.size()) {
        throw Error("locate: " + std::to_string(fieldNames.size()) + " fields but " +
                    std::to_string(values.size()) + " values");
    }
    std::vector<std::size_t> indexes;
    std::vector<std::string> wanted;
    for (std::size_t i = 0; i < fieldNames.size(); ++i) {
        indexes.push_back(fieldIndex(fieldNames[i]));
        wanted.push_back(values[i].asString());
    }
    for (std::size_t r = 0; r < rows_.size(); ++r) {
        bool match = true;
        for (std::size_t i = 0; i < indexes.size() && match; ++i) {
            const Variant& v = rows_[r][indexes[i]];
            const std::string have =
                fields_[indexes[i]].type == FieldType::Date && v.kind() == VariantKind::DateTime
                    ? v.get<DateTime>()->toDateText()
                    : v.asString();
            match = text::iequals(have, wanted[i]);
        }
        if (match) {
            cursor_ = r;
            return true;
        }
    }
    return false;
}

void Dataset::loadPacket(const Dataset& packet) {
    fields_ = packet.fields_;
    rows_ = packet.rows_;
    cursor_ = 0;
}

std::shared_ptr<const Dataset> Dataset::toPacket() const {
    auto copy = std::make_shared<Dataset>(fields_);
    copy->rows_ = rows_;
    return copy;
}

bool operator==(const Dataset& a, const Dataset& b) {
    return a.fields_ == b.fields_ && a.rows_ == b.rows_;
}

}  // namespace qel
