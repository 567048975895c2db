#pragma once
// The shared shape of a found file. Each engine derives its own record (FatFileRecord,
// NtfsFileRecord, ExtFileRecord, RawFileRecord) and supplies the row texts, sort keys and
// filter facts of its variant; the tree, list, filters and recovery job stay generic.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velk {

enum class Variant : uint8_t { Fat, Ntfs, Ext, Raw };

// What is known of a found file's content. Verified: its own format checks out (its
// structure ends where it says, with every checksum the format carries). Damaged: that
// check fails, or a source sector was unreadable or is known to belong to another file now.
// Unverified: no check exists for its type (or none has been made yet).
enum class Verdict : uint8_t { Unverified, Verified, Damaged };
std::string_view verdictName(Verdict verdict);  // "unverified", "verified", "damaged"

// List columns.
enum Column : int {
  kColumnName = 0,
  kColumnSize = 1,
  kColumnType = 2,
  kColumnAttributes = 3,
  kColumnModified = 4,
  kColumnCreated = 5,
  kColumnAccessed = 6,
  kColumnVerdict = 7,
};

// An engine-specific fact about a record (first cluster, MFT record, inode, start sector),
// exposed to the command line's JSON.
using FieldValue = std::variant<int64_t, uint64_t, std::string, bool>;
struct Field {
  std::string key;
  FieldValue value;
};

class FileRecord {
 public:
  virtual ~FileRecord() = default;

  std::string name;      // UTF-8, as listed
  uint64_t size = 0;     // bytes, as listed, sorted and filtered
  bool checked = false;
  bool deleted = true;
  Verdict verdict = Verdict::Unverified;
  uint64_t id = 0;       // given by the result tree: insertion order, stable per scan

  virtual Variant variant() const = 0;

  // Row texts.
  virtual std::string nameText() const { return name; }
  virtual std::string sizeText() const = 0;
  virtual std::string attributeText() const = 0;
  // kColumnModified, kColumnCreated or kColumnAccessed.
  virtual std::string dateText(int column) const = 0;
  // A type text of the record's own (EXT); empty means "ask the desktop by extension".
  virtual std::string typeText() const { return {}; }

  // Ascending comparison (-1, 0, 1) of the variant's key for kColumnSize,
  // kColumnAttributes and the date columns. Name and Type are compared by the views.
  virtual int compareColumn(const FileRecord& other, int column) const = 0;

  // Filter facts: whether the record passes the extension test for a "."-separated list,
  // and its date packed as in FAT directory entries (nullopt: never tested, RAW).
  virtual bool extensionAccepts(std::string_view extensionList) const = 0;
  // The text that test compares (the part after the first "." unless the record keeps an
  // extension of its own).
  virtual std::string filterExtension() const;
  virtual std::optional<uint16_t> filterDate() const = 0;

  // The real content size (64 bits) that extraction produces.
  virtual uint64_t contentSize() const { return size; }
  // Folders a recovered file is written under when the variant takes them from the record
  // (NTFS: its FolderNames, top folder first). Empty for the other variants.
  virtual std::vector<std::string> recordFolders() const { return {}; }
  // Engine-specific facts for the command line.
  virtual std::vector<Field> fields() const { return {}; }
};

// Helpers the variants share.
// The part of a name after its first "." ("" when there is none).
std::string_view textAfterFirstDot(std::string_view name);
// The part after the last "." ("" when there is none).
std::string_view extensionOf(std::string_view name);
std::string toLowerAscii(std::string_view text);
// Packs a calendar date as a FAT directory date: bits 15–9 year − 1980, 8–5 month, 4–0 day.
uint16_t packFatDate(int year, int month, int day);

}  // namespace velk
