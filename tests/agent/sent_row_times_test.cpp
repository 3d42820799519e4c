// Finding the rows a transfer sent by the keys and the second a verdict
// names: which packets can be read at all, rows without a time, the second
// a millisecond belongs to, and verdict times given as text.
#include <gmock/gmock.h>

#include <memory>

#include "ack/sent_row_times.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace qel::agent {
namespace {

const DateTime kAt = DateTime::fromDateTime(2026, 12, 8, 10, 15, 30, 250);
const DateTime kSameSecond = DateTime::fromDateTime(2026, 12, 8, 10, 15, 30, 900);
const DateTime kNextSecond = DateTime::fromDateTime(2026, 12, 8, 10, 15, 31, 0);

Dataset sentRows() {
    Dataset d({{"CDFILIAL", FieldType::String},
               {"NRSEQ", FieldType::Integer},
               {"DTHR", FieldType::DateTime}});
    d.append({Variant("0001"), Variant(std::int64_t{7}), Variant(kAt)});
    d.append({Variant("0001"), Variant(std::int64_t{7}), Variant(kSameSecond)});
    d.append({Variant("0001"), Variant(std::int64_t{8}), Variant(kNextSecond)});
    d.append({Variant("0001"), Variant(std::int64_t{9}), Variant()});  // no time: never named
    return d;
}

// The packet array of a transfer: `element` holds the sent rows.
Variant packets(std::size_t element, Dataset sent = sentRows()) {
    VariantArray a(element, Variant(std::int64_t{0}));
    a.push_back(Variant(std::make_shared<const Dataset>(std::move(sent))));
    return Variant(std::move(a));
}

// One verdict row naming a sale by its store, number and time.
Dataset verdict(const std::string& store, std::int64_t number, const Variant& time) {
    Dataset d(
        {{"CDFILIAL", FieldType::String},
         {"NRSEQ", FieldType::Integer},
         {"DTHR", time.kind() == VariantKind::String ? FieldType::String : FieldType::DateTime}});
    d.append({Variant(store), Variant(number), time});
    d.first();
    return d;
}

SentRowTimes times(const Variant& array, std::size_t element, std::string_view textForm = {}) {
    return SentRowTimes(array, element, {"CDFILIAL", "NRSEQ"}, "DTHR", textForm);
}

TEST(SentRowTimes, AVerdictNamesEveryRowSentInItsSecondAndNoOther) {
    const SentRowTimes sent = times(packets(2), 2);
    EXPECT_THAT(sent.times(verdict("0001", 7, Variant(kAt))), ElementsAre(kAt, kSameSecond));
    // Any millisecond of that second names the same rows.
    EXPECT_THAT(sent.times(verdict("0001", 7, Variant(kSameSecond))),
                ElementsAre(kAt, kSameSecond));
    EXPECT_THAT(sent.times(verdict("0001", 8, Variant(kNextSecond))), ElementsAre(kNextSecond));
    EXPECT_THAT(sent.times(verdict("0001", 8, Variant(kAt))), IsEmpty());
    EXPECT_THAT(sent.times(verdict("0002", 7, Variant(kAt))), IsEmpty());
    // A verdict without a time names nothing, also where a row was sent without one.
    EXPECT_THAT(sent.times(verdict("0001", 9, Variant())), IsEmpty());
    EXPECT_THAT(sent.times(verdict("0001", 7, Variant())), IsEmpty());
}

TEST(SentRowTimes, OnlyAPacketWithEveryNamedColumnAtThatElementIsRead) {
    const Dataset named = verdict("0001", 7, Variant(kAt));
    EXPECT_THAT(times(packets(0), 0).times(named), ElementsAre(kAt, kSameSecond));
    EXPECT_THAT(times(packets(3), 3).times(named), ElementsAre(kAt, kSameSecond));
    // The element past the end, an element that is no packet, no array at all.
    EXPECT_THAT(times(packets(3), 4).times(named), IsEmpty());
    EXPECT_THAT(times(packets(3), 2).times(named), IsEmpty());
    EXPECT_THAT(times(Variant("x"), 0).times(named), IsEmpty());
    // A packet without one of the key columns, or without the time.
    Dataset noKey({{"CDFILIAL", FieldType::String}, {"DTHR", FieldType::DateTime}});
    noKey.append({Variant("0001"), Variant(kAt)});
    EXPECT_THAT(times(packets(0, noKey), 0).times(named), IsEmpty());
    Dataset noTime({{"CDFILIAL", FieldType::String}, {"NRSEQ", FieldType::Integer}});
    noTime.append({Variant("0001"), Variant(std::int64_t{7})});
    EXPECT_THAT(times(packets(0, noTime), 0).times(named), IsEmpty());
}

TEST(SentRowTimes, AVerdictTimeAsTextMatchesTheSentTimeInTheGivenForm) {
    const SentRowTimes withForm = times(packets(1), 1, "dd/mm/yyyy hh:nn:ss");
    EXPECT_THAT(withForm.times(verdict("0001", 7, Variant("08/12/2026 10:15:30"))),
                ElementsAre(kAt, kSameSecond));
    // Another way of writing the same second is not the form asked for.
    EXPECT_THAT(withForm.times(verdict("0001", 7, Variant("2026-12-08 10:15:30"))), IsEmpty());
    // A date-time verdict is written in that form first.
    EXPECT_THAT(withForm.times(verdict("0001", 7, Variant(kSameSecond))),
                ElementsAre(kAt, kSameSecond));

    // Without a form any text that reads as that second will do.
    const SentRowTimes anyText = times(packets(1), 1);
    EXPECT_THAT(anyText.times(verdict("0001", 8, Variant("2026-12-08 10:15:31"))),
                ElementsAre(kNextSecond));
}

}  // namespace
}  // namespace qel::agent
