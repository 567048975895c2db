// The markup reader and the catalogue built from it: reading rules, the packed form and
// the checks that keep an untrusted rp.dat from misleading the scan.

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>

#include "codec/lznt1.h"
#include "engines/raw/signature_catalog.h"
#include "test_support.h"

namespace velk {
namespace {

const MarkupNode& at(const MarkupNode& n, size_t i) { return *n.children.at(i); }

TEST(MarkupReader, AttributesComeFirstThenElementsAndText) {
  auto doc = MarkupDocument::parse(R"(<?xml version="1.0"?><a k="v"><b>text</b><c x='1'>t2</c></a>)");
  ASSERT_TRUE(doc);
  const MarkupNode& root = doc->root();
  EXPECT_EQ(root.name, "XML:ROOT");
  ASSERT_EQ(root.childCount(), 2);
  EXPECT_EQ(at(root, 0).kind, MarkupKind::Attribute);  // from the declaration
  EXPECT_EQ(at(root, 0).name, "version");
  EXPECT_EQ(at(root, 0).value, "1.0");
  const MarkupNode& a = at(root, 1);
  EXPECT_EQ(a.name, "a");
  ASSERT_EQ(a.childCount(), 3);
  EXPECT_EQ(at(a, 0).kind, MarkupKind::Attribute);
  EXPECT_EQ(at(a, 0).value, "v");
  EXPECT_EQ(at(at(a, 1), 0).kind, MarkupKind::Text);
  EXPECT_EQ(at(at(a, 1), 0).name, "text");
  const MarkupNode& c = at(a, 2);
  ASSERT_EQ(c.childCount(), 2);
  EXPECT_EQ(at(c, 0).name, "x");
  EXPECT_EQ(at(c, 0).value, "1");
  EXPECT_EQ(at(c, 1).name, "t2");
}

TEST(MarkupReader, TextBesideElementsMakesNoNode) {
  auto doc = MarkupDocument::parse("<a>\n  <b>x</b>\n  tail\n</a>");
  ASSERT_TRUE(doc);
  EXPECT_EQ(at(doc->root(), 0).childCount(), 1);
}

TEST(MarkupReader, TextKeepsEverythingAfterLastCloser) {
  auto doc = MarkupDocument::parse("<a> x > y z </a>");
  ASSERT_TRUE(doc);
  EXPECT_EQ(at(at(doc->root(), 0), 0).name, " y z ");
}

TEST(MarkupReader, FailuresGiveNoDocument) {
  EXPECT_FALSE(MarkupDocument::parse("<a><b>x</a>"));          // b never closed inside a
  EXPECT_FALSE(MarkupDocument::parse("<a>x</b>"));             // wrong end tag last
  EXPECT_FALSE(MarkupDocument::parse("<a k=\"v>x</a>"));       // missing closing quote
  EXPECT_FALSE(MarkupDocument::parse("<a k=v>x</a>"));         // missing quotes
  EXPECT_FALSE(MarkupDocument::parse("<a>x</a"));              // missing ">"
  EXPECT_FALSE(MarkupDocument::parse("<a"));
}

TEST(MarkupReader, NestingIsLimited) {
  auto nest = [](int depth) {
    // Distinct names: the first end tag of an element's name closes it.
    std::string s;
    for (int i = 0; i < depth; ++i) s += "<e" + std::to_string(i) + ">";
    s += "x";
    for (int i = depth - 1; i >= 0; --i) s += "</e" + std::to_string(i) + ">";
    return s;
  };
  EXPECT_TRUE(MarkupDocument::parse(nest(kMaxMarkupDepth)));
  EXPECT_FALSE(MarkupDocument::parse(nest(kMaxMarkupDepth + 1)));
}

// A one-type catalogue around the given sig elements.
std::string catalogText(const std::string& sigs, const std::string& ext = "jpg",
                        const std::string& desc = "JPEG Image") {
  return "<?xml version=\"1.0\"?>\n<signatures version=\"1\">\n<type><ext>" + ext + "</ext><desc>" + desc +
         "</desc>" + sigs + "</type>\n</signatures>\n";
}

Status load(SignatureCatalog& c, const std::string& text) {
  return c.loadBytes(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

TEST(SignatureCatalogRead, EntryPerSignatureInOrder) {
  SignatureCatalog c;
  ASSERT_TRUE(load(c, catalogText("<s n=\"2\"><p o=\"0\">ffd8</p><p o=\"6\">4a46</p></s>"
                                "<s n=\"1\"><p o=\"0\">ffd8ff</p></s>")));
  ASSERT_EQ(c.size(), 2u);
  const SignatureEntry& e = c.entries()[0];
  EXPECT_EQ(e.extension, "jpg");
  EXPECT_EQ(e.description, "JPEG Image");
  EXPECT_EQ(e.patternCount, 2);
  EXPECT_EQ(e.patterns[1], "4a46");
  EXPECT_EQ(e.offsets[1], 6);
  EXPECT_TRUE(e.enabled);
  EXPECT_EQ(c.entries()[1].patternCount, 1);
}

TEST(SignatureCatalogRead, PatternCountIsWhatWasRead) {
  SignatureCatalog c;
  ASSERT_TRUE(load(c, catalogText("<s n=\"3\"><p o=\"0\">ffd8</p></s><s n=\"9\"><p o=\"0\">aa</p><p o=\"1\">bb</p>"
                                "<p o=\"2\">cc</p><p o=\"3\">dd</p></s>")));
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c.entries()[0].patternCount, 1);
  EXPECT_EQ(c.entries()[1].patternCount, 3);
}

struct DropCase {
  const char* name;
  std::string ext;
  std::string sig;
};
// Test names and failure messages show the case, not its bytes.
inline void PrintTo(const DropCase& c, std::ostream* os) { *os << c.name; }

class SignatureCatalogDrop : public ::testing::TestWithParam<DropCase> {};

TEST_P(SignatureCatalogDrop, UnsafeEntryIsDroppedOthersKept) {
  const DropCase& p = GetParam();
  const std::string good = "<s n=\"1\"><p o=\"0\">ffd8ff</p></s>";
  SignatureCatalog c;
  ASSERT_TRUE(load(c, catalogText(p.sig + good, p.ext))) << p.name;
  ASSERT_EQ(c.size(), 1u) << p.name;  // only the good signature survives
}

// With an unsafe extension the whole type goes, and load reports no usable entry.
TEST(SignatureCatalogDropExt, UnsafeExtensionsLeaveNothing) {
  for (std::string ext : {"", ".", "..", "abcdefghijklm", "a/b", "a\\b", "a\tb"}) {
    SignatureCatalog c;
    EXPECT_EQ(failureKind(load(c, catalogText("<s n=\"1\"><p o=\"0\">ffd8ff</p></s>", ext))), ErrorKind::Corrupt) << ext;
  }
  SignatureCatalog c;
  EXPECT_TRUE(load(c, catalogText("<s n=\"1\"><p o=\"0\">ffd8ff</p></s>", "abcdefghijkl")));
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, SignatureCatalogDrop,
    ::testing::Values(DropCase{"empty pattern", "jpg", "<s n=\"1\"><p o=\"0\"></p></s>"},
                      DropCase{"empty alternative", "jpg", "<s n=\"1\"><p o=\"0\">aa||bb</p></s>"},
                      DropCase{"negative offset", "jpg", "<s n=\"1\"><p o=\"-1\">aa</p></s>"},
                      DropCase{"zero count", "jpg", "<s n=\"0\"><p o=\"0\">aa</p></s>"},
                      DropCase{"later pattern at 1024", "jpg", "<s n=\"2\"><p o=\"0\">aa</p><p o=\"1024\">bb</p></s>"},
                      DropCase{"later pattern before its sector", "jpg",
                               "<s n=\"2\"><p o=\"600\">aa</p><p o=\"10\">bb</p></s>"},
                      DropCase{"pattern too long", "jpg",
                               "<s n=\"1\"><p o=\"0\">" + std::string(514, 'a') + "</p></s>"},
                      DropCase{"offset not a number", "jpg", "<s n=\"1\"><p o=\"x\">aa</p></s>"}),
    [](const auto& p) {
      std::string n = p.param.name;
      for (auto& ch : n)
        if (!isalnum(uint8_t(ch))) ch = '_';
      return n;
    });

TEST(SignatureCatalogRead, DescriptionCutTo52AndLaterPatternAt1023Kept) {
  SignatureCatalog c;
  ASSERT_TRUE(load(c, catalogText("<s n=\"2\"><p o=\"0\">aa</p><p o=\"1023\">bb</p></s>", "bin", std::string(60, 'd'))));
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c.entries()[0].description.size(), 52u);
}

TEST(SignatureCatalogRead, DeepNestingGivesEmptyCatalogue) {
  std::string s;
  for (int i = 0; i < 70; ++i) s += "<e" + std::to_string(i) + ">";
  s += "x";
  for (int i = 69; i >= 0; --i) s += "</e" + std::to_string(i) + ">";
  SignatureCatalog c;
  EXPECT_EQ(failureKind(load(c, catalogText("<s n=\"1\"><p o=\"0\">ffd8ff</p></s>" + s))), ErrorKind::Corrupt);
  EXPECT_TRUE(c.empty());
}

TEST(SignatureCatalogPacked, PackedAndPlainGiveTheSameEntries) {
  const std::string text = catalogText("<s n=\"2\"><p o=\"0\">ffd8</p><p o=\"6\">4a46</p></s>");
  SignatureCatalog plain, packed;
  ASSERT_TRUE(load(plain, text));
  const std::vector<uint8_t> bytes = packCatalog(text);
  ASSERT_FALSE(bytes.empty());
  ASSERT_NE(bytes[0], '<');
  ASSERT_TRUE(packed.loadBytes(bytes));
  EXPECT_EQ(plain.entries(), packed.entries());
}

TEST(SignatureCatalogPacked, BrokenPackingMeansNoCatalogue) {
  std::vector<uint8_t> bytes = packCatalog(catalogText("<s n=\"1\"><p o=\"0\">ffd8ff</p></s>"));
  bytes.resize(bytes.size() / 2);  // a chunk that promises more than is there
  SignatureCatalog c;
  EXPECT_FALSE(c.loadBytes(bytes));
  EXPECT_TRUE(c.empty());
  const std::vector<uint8_t> junk{0x00, 0x00};
  EXPECT_EQ(failureKind(c.loadBytes(junk)), ErrorKind::Corrupt);
}

TEST(SignatureCatalogFile, MissingFileIsDistinguished) {
  SignatureCatalog c;
  EXPECT_EQ(failureKind(c.loadFile("/nonexistent/rp.dat")), ErrorKind::NotFound);
  test::TempDir dir;
  std::ofstream(dir.path() / "rp.dat") << "not markup <";
  EXPECT_EQ(failureKind(c.loadFile(dir.path() / "rp.dat")), ErrorKind::Corrupt);
}

// The shipped catalogue: every promised type is there, and nothing is dropped.
TEST(ShippedCatalogue, HoldsTheAdvertisedTypes) {
  SignatureCatalog c;
  ASSERT_TRUE(c.loadFile(std::filesystem::path(VELK_RESOURCE_DIR) / "rp.dat"));
  std::set<std::string> exts;
  for (const auto& e : c.entries()) exts.insert(e.extension);
  for (const char* want : {"jpg", "png", "gif", "bmp", "tif", "psd", "pdf", "zip", "docx", "odt", "doc", "rtf",
                           "rar", "7z", "gz", "mp3", "wav", "avi", "mp4", "mov", "mkv", "flac", "ogg", "sqlite",
                           "pst", "dbx", "exe", "elf", "iso", "html"})
    EXPECT_TRUE(exts.count(want)) << want;
  std::ifstream in(std::filesystem::path(VELK_RESOURCE_DIR) / "rp.dat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  size_t sigs = 0;
  for (size_t p = text.find("<sig "); p != std::string::npos; p = text.find("<sig ", p + 1)) ++sigs;
  EXPECT_EQ(c.size(), sigs);
  // Office formats in ZIP come before the plain ZIP entry, which would take them.
  size_t docx = 0, zip = 0;
  for (size_t i = 0; i < c.size(); ++i) {
    if (c.entries()[i].extension == "docx") docx = i;
    if (c.entries()[i].extension == "zip") zip = i;
  }
  EXPECT_LT(docx, zip);
}

}  // namespace
}  // namespace velk
