#pragma once
// Directory-entry rules shared by the deleted walk and the formatted scan: short and long
// names, attribute texts, name patterns, the folder scope, and the test that tells whether a
// sector holds directory entries.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "formats/bytes.h"
#include "formats/fat_dir_entry.h"

namespace velk {

// One token of the user's pattern text: name part and extension part, lowered; an empty
// part matches anything.
struct NamePattern {
  std::string name;
  std::string extension;

  // "*.jpg" and ".jpg" give (empty, "jpg"), "report" gives ("report", empty).
  static NamePattern fromToken(std::string_view lowered);
  bool operator==(const NamePattern&) const = default;
};

// Cuts the text at spaces, commas and semicolons; an empty text gives one match-all pattern.
std::vector<NamePattern> parseNamePatterns(std::string_view text);
// The first pattern that hits accepts; an empty list rejects.
bool patternsAccept(const std::vector<NamePattern>& patterns, std::string_view loweredBase,
                    std::string_view loweredExtension);

// The folder names below the volume root of a chosen folder path ("C:\Photos\2009" or
// "/Photos/2009"), lowered, empty pieces skipped.
std::vector<std::string> parseScopePath(std::string_view folderPath);

// "H-", "R-" or "RW-", "S-", with trailing dashes removed.
std::string attributeTextOf(uint8_t attributes);

// A byte that may stand in a short name (the rest are shown as spaces or refused).
bool isShortNameByte(uint8_t b);

struct ShortName {
  std::string base;       // case kept, "#" for the first byte of a deleted entry, "_" when empty
  std::string extension;  // lowered
};
ShortName shortNameOf(const FatDirEntry& entry);

// A short entry's 8.3 bytes are all ones a name may hold (name bytes 1–7 always, the
// extension for files: a folder's is not shown).
bool shortNameBytesHold(const FatDirEntry& entry);

// The long name collected from the long-name entries before a short entry.
class LongNameAccumulator {
 public:
  // Adds one long-name entry (stored last piece first); a new checksum starts a new name.
  void add(const FatDirEntry& entry);
  // One entry of a folder in order: long-name pieces are gathered, never-used and label
  // entries end a name. True for a short entry, which the caller judges.
  bool feed(const FatDirEntry& entry);
  void clear() { m_units.clear(); }
  bool empty() const { return m_units.empty(); }
  // UTF-8; unpaired surrogates become "_".
  std::string text() const;

 private:
  std::u16string m_units;
  uint8_t m_lastChecksum = 0;
};

// Base name, extension for matching and the record's extension of a listed file. A long
// name is cut at its last "." after the first character; without one it is the base name
// and the short extension stays.
struct ListedName {
  std::string base;
  std::string matchExtension;   // lowered
  std::string recordExtension;  // lowered, at most 4 characters
  std::string fullName() const;
};
ListedName listedNameOf(const std::string& longName, const ShortName& shortName);

// Facts of the volume the folder-sector test needs.
struct FolderSectorFacts {
  uint32_t maxCluster = 0;  // total sectors / sectors per cluster
  bool fat32 = false;       // first clusters take the high word
};

// True when the sector looks like directory entries: long-name sequences in order, dates
// and times a FAT driver writes, names of legal bytes, clusters inside the volume. Only the
// sector's own bytes are ever examined.
bool folderSectorTest(ByteSpan sector, const FolderSectorFacts& facts);

// True when the data begin with "." and ".." entries.
bool beginsWithDotEntries(ByteSpan data);

// A progress or folder text with one count: "Found Deleted Files : %d", "DIR%d".
std::string numberedText(const char* format, uint64_t n);

}  // namespace velk
