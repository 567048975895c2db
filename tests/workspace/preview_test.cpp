#include <gtest/gtest.h>

#include "workspace/preview.h"
#include "workspace/row_format.h"

namespace velk {
namespace {

TEST(ImageTypeOf, LastCharactersDecide) {
  EXPECT_EQ(ImageTypeOf("photo.JPEG"), kImageJpeg);
  EXPECT_EQ(ImageTypeOf("xbmp"), kImageBmp);
  EXPECT_EQ(ImageTypeOf("a.tiff"), kImageTiff);
  EXPECT_EQ(ImageTypeOf("a.wbmp"), kImageBmp);  // "bmp" is tested before "wbmp"
  EXPECT_EQ(ImageTypeOf("a.ppm"), kImagePnm);
  EXPECT_EQ(ImageTypeOf("a.txt"), kImageNone);
  EXPECT_EQ(ImageTypeOf(""), kImageNone);
  EXPECT_EQ(ImageTypeOf("pg"), kImageNone);
}

TEST(HexDump, LineFormat) {
  const uint8_t bytes[] = {0x41, 0x00, 0x22, 0x7E};
  EXPECT_EQ(HexDump(bytes), "00000000  41 00 22 7E   A..~");
  EXPECT_EQ(HexDump({}), "");
}

TEST(HexDump, TwentyBytesMakeTwoLines) {
  std::vector<uint8_t> bytes(20);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t('a' + i);
  std::string dump = HexDump(bytes);
  EXPECT_EQ(dump,
            "00000000  61 62 63 64  65 66 67 68  69 6A 6B 6C  6D 6E 6F 70   abcdefghijklmnop\r\n"
            "00000010  71 72 73 74   qrst");
  EXPECT_EQ(hexDumpLine(bytes, 1), "00000010  71 72 73 74   qrst");
  EXPECT_EQ(hexDumpLineCount(20), 2u);
}

TEST(RowFormat, SizeTexts) {
  EXPECT_EQ(sizeTextFat(1023), "1023 Byte");
  EXPECT_EQ(sizeTextFat(1024), "1.00 KB");
  EXPECT_EQ(sizeTextFat(1048576), "1024.00 KB");
  EXPECT_EQ(sizeTextFat(1048577), "1.00 MB");
  EXPECT_EQ(sizeTextNtfs(1048576), "1.0MB");
  EXPECT_EQ(sizeTextNtfs(1000), "1000B");
  EXPECT_EQ(sizeTextExt(2048), " 2.00 KB");
  EXPECT_EQ(summaryLine(3, 100), "3 files - 100.00 Byte");
  EXPECT_EQ(summaryLine(10, 10ull * 500 * 1000 * 1000), "10 files - 4.66 GB");
  EXPECT_EQ(hex8(42), "0000002A");
}

}  // namespace
}  // namespace velk
