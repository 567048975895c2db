#pragma once
// What differs between the record families of the engines, in one table: where recovered
// files land, in which order checked files are taken, what the list shows, how much of a
// file a preview reads and the texts the pages use. The recovery job, the list model, the
// pages and the command line read it instead of switching on the family.

#include <cstddef>
#include <cstdint>

#include "workspace/file_record.h"

namespace velk {

// Where a recovered file is written below the output folder.
enum class OutputLayout : uint8_t {
  TreePath,       // the folder path of its tree item below the root (FAT)
  RecordFolders,  // the folder names its record carries (NTFS)
  Flat,           // straight into the output folder (EXT)
  ByExtension,    // a sub-folder named after the text after the name's first "." (RAW)
};

// The order in which checked files are taken.
enum class WalkOrder : uint8_t {
  CheckedFoldersBreadthFirst,  // breadth first, entering only checked folders (FAT)
  DepthFirst,                  // every folder, depth first (NTFS, RAW)
  FirstFolder,                 // the files of the root's first folder (EXT's "Lost files")
};

struct VariantPolicy {
  const char* tag;  // "FAT", "NTFS", "EXT", "RAW": names the views' window classes
  OutputLayout layout;
  WalkOrder walk;
  // The list shows the files of the root's first folder whatever is selected (EXT).
  bool listsFirstFolder;
  // The recovery command asks for a checked root (FAT, EXT) rather than checked files.
  bool selectionByRoot;
  // Said when nothing is chosen (empty: say nothing) and its caption.
  const char* emptySelectionText;
  const char* emptySelectionCaption;
  // Said when a preview is asked without a row (empty: say nothing).
  const char* noRowText;
  // The line that reports a file the engine could not write.
  const char* writeFailure;
  // The report of failures is an error (RAW) rather than a notice.
  bool failuresAreErrors;
  // Bytes of a file the text preview shows; a file that cannot be an image is read only
  // that far when readsOnlyDump is set.
  size_t dumpBytes;
  bool readsOnlyDump;
  // Thumbnails cut the data read at the record's content size (FAT reads whole clusters).
  bool thumbnailsCutAtSize;
  // The extension filter wants the record's extension as one whole item of the list (FAT);
  // else it is enough that it occurs in the list's text.
  bool extensionIsListItem;
};

const VariantPolicy& policyOf(Variant variant);

}  // namespace velk
