#include "workspace/variant_policy.h"

namespace velk {
namespace {

constexpr size_t kWhole = SIZE_MAX;

constexpr VariantPolicy kFat{"FAT", OutputLayout::TreePath, WalkOrder::CheckedFoldersBreadthFirst, false, true,
                             "Please check files for recovering", "", "Please select a file to preview.",
                             "Can not recovery file '", false, 1024, false, true, true};
constexpr VariantPolicy kNtfs{"NTFS", OutputLayout::RecordFolders, WalkOrder::DepthFirst, false, false,
                              "Please select file to recover!", "Notice", "", "Can not recovery file '", false,
                              kWhole, false, false, false};
constexpr VariantPolicy kExt{"EXT", OutputLayout::Flat, WalkOrder::FirstFolder, true, true, "", "", "",
                             "Can not recovery file '", false, 4096, true, false, false};
constexpr VariantPolicy kRaw{"RAW", OutputLayout::ByExtension, WalkOrder::DepthFirst, false, false,
                             "Please select file to recover!", "Notice", "", "Can not write file '", true,
                             kWhole, false, false, false};

}  // namespace

const VariantPolicy& policyOf(Variant variant) {
  switch (variant) {
    case Variant::Fat: return kFat;
    case Variant::Ntfs: return kNtfs;
    case Variant::Ext: return kExt;
    case Variant::Raw: return kRaw;
  }
  return kFat;
}

}  // namespace velk
