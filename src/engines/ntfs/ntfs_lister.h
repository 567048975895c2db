#pragma once
// NtfsLister: turns the records of a volume's MFT images into listed files for one scan.
// Each file gets its name (or "Record_<number>" when its names are gone), its folder chain
// up to the root ("Dir%d" under "Lost Files%d" where a chain breaks; "Lost Files%d" alone
// where the parent record was reused by another file), an entry per named stream, and a
// verdict on its data.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "disk/damage_log.h"
#include "engines/ntfs/ntfs_file_record.h"
#include "formats/mft_record.h"
#include "workspace/result_tree.h"
#include "workspace/scan_options.h"

namespace velk {

class NtfsVolume;

// The program's texts that carry one "%d".
std::string formatCount(const char* format, uint64_t value);

class NtfsLister {
 public:
  // Adds the volume's root item to the sink. applyScope: the name mask and folder filter
  // of the options apply (the deleted-file scan).
  NtfsLister(NtfsVolume& volume, ResultSink& sink, const ScanOptions& options, bool applyScope);
  ~NtfsLister();
  NtfsLister(const NtfsLister&) = delete;
  NtfsLister& operator=(const NtfsLister&) = delete;

  // Lists the record when it is a file's base record that the filters accept.
  void listRecord(int imageIndex, uint32_t recordIndex);
  // Takes in the unreadable ranges logged since (the sweep adds some).
  void refreshUnreadable();
  // Clusters claimed by more than one listed file whose claim is history (deleted, or found
  // outside the current MFT): the record changed last keeps them (a file can only take
  // another's clusters after that one was deleted, and is itself deleted later still); the
  // others, and every claimant when nothing tells them apart, are damaged.
  void settleSharedClusters();
  uint64_t accepted() const { return m_accepted; }

 private:
  struct ChainKey {
    int image = 0;
    uint64_t reference = 0;  // the parent reference, sequence number included
    bool operator==(const ChainKey&) const = default;
  };
  struct ChainKeyHash {
    size_t operator()(const ChainKey& k) const noexcept;
  };
  struct Chain;
  // Where a file's folder item can be reused from: whole chains share theirs.
  struct Placement {
    std::optional<ChainKey> key;
    bool shared = true;
  };
  struct Claim {
    uint64_t lcn = 0;
    uint64_t count = 0;
    uint64_t logSequence = 0;  // of the claiming record
    uint64_t owner = 0;    // image and record
    FileRecord* entry = nullptr;
  };

  std::unique_ptr<NtfsFileRecord> buildRecord(int imageIndex, uint32_t recordIndex, const ParsedMftRecord& parsed,
                                              Placement& placement);
  const Chain& folderChain(int imageIndex, uint64_t parent);
  void addFolderPath(NtfsFileRecord& record, uint64_t parent, Placement& placement);
  FolderItem* folderFor(const NtfsFileRecord& record, const Placement& placement);
  void addEntries(std::unique_ptr<NtfsFileRecord> record, const ParsedMftRecord& parsed, const Placement& placement);
  // Damaged when the runs do not cover the content, a sector is unreadable or (for a claim
  // that is history) a cluster belongs to a file now. The claims are kept for settling.
  void judge(NtfsFileRecord& entry, const ParsedMftRecord& parsed, std::vector<Claim>& claims);
  bool touchesUnreadable(uint64_t lcn, uint64_t count) const;

  NtfsVolume& m_v;
  ResultSink& m_sink;
  const ScanOptions& m_options;
  bool m_applyScope;
  FolderItem* m_root = nullptr;
  std::string m_mask;
  std::string m_folder;
  uint64_t m_accepted = 0;
  std::unique_ptr<ParsedMftRecord> m_parsed;
  std::unique_ptr<ParsedMftRecord> m_chainParsed;  // a folder of a chain, while m_parsed holds the file
  std::unordered_map<ChainKey, Chain, ChainKeyHash> m_chains;
  std::unordered_map<ChainKey, FolderItem*, ChainKeyHash> m_placed;
  std::map<std::tuple<FolderItem*, uint32_t, std::string>, FolderItem*> m_folders;
  std::vector<SectorRange> m_unreadable;
  std::vector<Claim> m_claims;
};

}  // namespace velk
