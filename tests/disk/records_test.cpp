#include <gtest/gtest.h>

#include "formats/bytes.h"
#include "disk/records.h"

namespace velk {
namespace {

TEST(Records, PartitionRecordLayoutIsByteExact) {
  PartitionRecord r;
  r.diskNumber = -1;
  r.letter = 'E';
  r.kind = 2;
  r.tableSector = 0x11223344;
  r.extendedBase = 0x55667788;
  r.setFsName("FAT32");
  r.setLabel("VELKLABEL16CHARS");
  r.startSector = 0x01020304;
  r.sectorsPerCluster = 8;
  r.bytesPerSector = 4096;
  r.freeBytes = 0x0102030405060708ull;
  r.length = 0x1112131415161718ull;
  r.firstSector[0] = 0xEB;
  r.firstSector[511] = 0xAA;
  r.type = 0x0C;
  auto b = r.encode();
  ASSERT_EQ(b.size(), 600u);
  EXPECT_EQ(le32(&b[0]), 0xFFFFFFFFu);
  EXPECT_EQ(b[4], 'E');
  EXPECT_EQ(b[5], 2);
  EXPECT_EQ(le32(&b[8]), 0x11223344u);
  EXPECT_EQ(le32(&b[12]), 0x55667788u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[16])), "FAT32");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[28])), "VELKLABEL16CHARS");
  EXPECT_EQ(le32(&b[52]), 0x01020304u);
  EXPECT_EQ(le32(&b[56]), 8u);
  EXPECT_EQ(le32(&b[60]), 4096u);
  EXPECT_EQ(le64(&b[64]), 0x0102030405060708ull);
  EXPECT_EQ(le64(&b[72]), 0x1112131415161718ull);
  EXPECT_EQ(b[80], 0xEB);
  EXPECT_EQ(b[591], 0xAA);
  EXPECT_EQ(b[592], 0x0C);
  // Bytes that were reserved stay zero below 2^32 sectors: such files keep their bytes.
  for (size_t i : {6, 7, 593, 594, 595, 596, 597, 598, 599}) EXPECT_EQ(b[i], 0) << i;
  EXPECT_EQ(PartitionRecord::decode(b), r);

  // Past 2^32 the high bits go into those bytes: start at 593, table at 597, base at 6.
  r.startSector = 0x0000'0123'0102'0304ull;
  r.tableSector = 0x0000'0045'1122'3344ull;
  r.extendedBase = 0x0000'0067'5566'7788ull;
  b = r.encode();
  EXPECT_EQ(le32(&b[52]), 0x01020304u);
  EXPECT_EQ(le32(&b[593]), 0x123u);
  EXPECT_EQ(b[597], 0x45);
  EXPECT_EQ(b[6], 0x67);
  EXPECT_EQ(PartitionRecord::decode(b), r);
}

TEST(Records, DecodeKeepsBytesAfterTerminators) {
  std::array<uint8_t, 600> b{};
  for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(i * 7 + 1);
  b[16 + 3] = 0;  // a name with garbage after its terminator
  auto r = PartitionRecord::decode(b);
  EXPECT_EQ(r.encode(), b);
}

TEST(Records, DiskRecordLayoutIsByteExact) {
  DiskRecord d;
  setFixedText(d.name, "VBOX HARDDISK");
  d.size = 0x123456789Aull;
  d.removable = 1;
  d.number = 3;
  d.busType = 11;
  auto b = d.encode();
  ASSERT_EQ(b.size(), 288u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.data())), "VBOX HARDDISK");
  EXPECT_EQ(le64(&b[264]), 0x123456789Aull);
  EXPECT_EQ(le32(&b[272]), 1u);
  EXPECT_EQ(le32(&b[276]), 3u);
  EXPECT_EQ(le32(&b[280]), 11u);
  EXPECT_EQ(DiskRecord::decode(b), d);
}

TEST(Records, FixedTextCutsOnCharacterBoundary) {
  std::array<char, 12> field{};
  setFixedText(field, "ab\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9");  // "abéééé…" — 11 bytes fit
  EXPECT_EQ(fixedFieldText(field), "ab\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9");
  EXPECT_EQ(busTypeName(7), "USB");
  EXPECT_EQ(busTypeName(11), "SATA");
  EXPECT_EQ(busTypeName(12), "");
}

}  // namespace
}  // namespace velk
