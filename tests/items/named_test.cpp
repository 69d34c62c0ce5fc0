// The named-property map: NAMEID records, names, order and lookup.
#include <gtest/gtest.h>

#include "items/items.h"
#include "test_util.h"

namespace velmorix::items {
namespace {

using namespace testing;

Buffer Record(uint32_t propertyId, uint16_t guidAndKind, uint16_t index) {
  return Concat({Le(propertyId, 4), Le(guidAndKind, 2), Le(index, 2)});
}

Buffer StringRecord(const Buffer& utf16) {
  Buffer b = Concat({Le(utf16.size(), 4), utf16});
  while (b.size() % 4) b.push_back(std::byte{0});
  return b;
}

TEST(NameIdStreams, NumericAndStringNames) {
  Buffer strings = StringRecord(Wide("Keywords"));
  auto taken = ParseNameIdStreams(Concat({Record(0x8233, 6, 0), Record(0, 5, 1)}),
                                  ByteSpan(strings));
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].propertyId, 0x8000);
  EXPECT_EQ(taken[0].kind, kNameNumeric);
  EXPECT_EQ(taken[0].lid, 0x8233u);
  EXPECT_EQ(taken[1].propertyId, 0x8001);
  EXPECT_EQ(taken[1].kind, kNameString);
  EXPECT_EQ(taken[1].name.view(), "Keywords");
}

TEST(NameIdStreams, RecordsEndAtTheStreamOrAZeroGuidWord) {
  EXPECT_EQ(ParseNameIdStreams(Concat({Record(1, 2, 0), Record(2, 2, 1), Record(3, 2, 2)}), {}).size(), 3u);
  EXPECT_EQ(ParseNameIdStreams(Concat({Record(1, 2, 0), Record(2, 0, 1), Record(3, 2, 2)}), {}).size(), 1u);
  // A partial trailing record is not taken.
  Buffer partial = Concat({Record(1, 2, 0), Le(5, 4)});
  EXPECT_EQ(ParseNameIdStreams(partial, {}).size(), 1u);
  // Only the low 16 bits of a numeric name count.
  EXPECT_EQ(ParseNameIdStreams(Record(0x10000 + 0x8233, 2, 0), {})[0].lid, 0x8233u);
}

TEST(NameIdStreams, UnreadableNamesStayAbsentOrShort) {
  Buffer strings = StringRecord(Wide("Name"));
  auto noStream = ParseNameIdStreams(Record(0, 5, 0), std::nullopt);
  ASSERT_EQ(noStream.size(), 1u);
  EXPECT_EQ(noStream[0].kind, kNameString);
  EXPECT_FALSE(noStream[0].name);
  EXPECT_FALSE(ParseNameIdStreams(Record(strings.size(), 5, 0), ByteSpan(strings))[0].name);
  // A length that runs past the stream keeps the bytes inside it.
  Buffer cut = Concat({Le(100, 4), Wide("Abc")});
  EXPECT_EQ(ParseNameIdStreams(Record(0, 5, 0), ByteSpan(cut))[0].name.view(), "Abc");
  // A length word that does not fit.
  Buffer tiny{std::byte{1}, std::byte{0}};
  EXPECT_FALSE(ParseNameIdStreams(Record(0, 5, 0), ByteSpan(tiny))[0].name);
}

TEST(NameIdStreams, NamesBeyondLatin1KeepTheirCharacters) {
  Buffer strings = StringRecord(Concat({Wide("a"), Le(0x00E9, 2), Le(0x0100, 2), Wide("b")}));
  EXPECT_EQ(ParseNameIdStreams(Record(0, 5, 0), ByteSpan(strings))[0].name.view(), "a\xC3\xA9\xC4\x80" "b");
}

TEST(NamedPropertyMap, AscendingIdsAndTheLaterOfEqualIdsFirst) {
  auto taken = ParseNameIdStreams(
      Concat({Record(0x8501, 6, 2), Record(0x8233, 6, 0), Record(0x8005, 6, 2), Record(0x8100, 6, 1)}), {});
  NamedPropertyMap map(std::move(taken));
  ASSERT_EQ(map.size(), 4u);
  EXPECT_EQ(map.entries()[0].propertyId, 0x8000);
  EXPECT_EQ(map.entries()[1].propertyId, 0x8001);
  EXPECT_EQ(map.entries()[2].lid, 0x8005u);
  EXPECT_EQ(map.entries()[3].lid, 0x8501u);
  EXPECT_EQ(LookupNamedProperty(&map, 0x8002)->lid, 0x8005u);
  EXPECT_EQ(LookupNamedProperty(&map, 0x8000)->lid, 0x8233u);
  EXPECT_FALSE(LookupNamedProperty(&map, 0x8003));
  EXPECT_FALSE(LookupNamedProperty(&map, 0x0037));
  EXPECT_FALSE(LookupNamedProperty(nullptr, 0x8000));
  EXPECT_FALSE(LookupNamedProperty(&map, 0x10000));
}

TEST(NamedPropertyMap, TranslatesTagsWhileReading) {
  store::Store store;
  NamedPropertyMap map(ParseNameIdStreams(
      Concat({Record(0x8083, 6, 0), Record(0, 5, 1), Record(0x001A, 6, 2)}),
      ByteSpan(StringRecord(Wide("Custom")))));
  ItemContext ctx(store, &map);
  Buffer recs = Concat({PcRecord(0x8000, 0x0003, 7), PcRecord(0x8001, 0x0003, 8), PcRecord(0x8002, 0x0003, 9),
                        PcRecord(0x8003, 0x0003, 10)});
  auto set = ReadPropertySetFromHeap(ctx, HeapOf({HeapBlock(0xBC, 0x20, {BthHeader(2, 6, 0, 0x40), recs})}),
                                     nullptr);
  ASSERT_TRUE(set);
  const auto& e = set->rows[0].entries;
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[0].tag, 0x8083u);
  EXPECT_EQ(e[1].tag, kTagStringNamed);
  ASSERT_TRUE(e[1].name);
  EXPECT_EQ(e[1].name->view(), "Custom");
  EXPECT_EQ(e[2].tag, kTagNamedLowLid | 0x001A);  // never the message class
  EXPECT_EQ(e[3].tag, 0x8003u);  // not in the map: the ID stays
}

}  // namespace
}  // namespace velmorix::items
