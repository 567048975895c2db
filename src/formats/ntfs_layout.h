#pragma once
// Byte offsets and values of the NTFS structures the engine reads: the boot sector, the
// MFT record header, attribute headers and the values of the attributes it decodes.
// Offsets follow the published on-disk format; nothing here is ever written to a volume.

#include <cstddef>
#include <cstdint>

namespace velk::ntfs {

// Boot sector (sector 0 of the volume).
inline constexpr size_t kBootSize = 512;
inline constexpr size_t kBootOemId = 0x03;              // "NTFS    "
inline constexpr size_t kBootBytesPerSector = 0x0B;     // u16
inline constexpr size_t kBootSectorsPerCluster = 0x0D;  // u8 (above 0x80: 2^(256 − value))
inline constexpr size_t kBootTotalSectors = 0x28;       // u64
inline constexpr size_t kBootMftCluster = 0x30;         // u64
inline constexpr size_t kBootMftMirrCluster = 0x38;     // u64
inline constexpr size_t kBootClustersPerRecord = 0x40;  // s8

// MFT record header.
inline constexpr size_t kRecUsaOffset = 0x04;       // u16
inline constexpr size_t kRecUsaCount = 0x06;        // u16
inline constexpr size_t kRecLogSequence = 0x08;     // u64: $LogFile sequence number of the last change
inline constexpr size_t kRecSequence = 0x10;        // u16
inline constexpr size_t kRecFirstAttribute = 0x14;  // u16
inline constexpr size_t kRecFlags = 0x16;           // u16
inline constexpr size_t kRecBytesInUse = 0x18;      // u32
inline constexpr size_t kRecBaseReference = 0x20;   // u64
inline constexpr size_t kRecNumber = 0x2C;          // u32, in records whose USA starts at 0x30
inline constexpr uint16_t kRecFlagInUse = 0x0001;
inline constexpr uint16_t kRecFlagDirectory = 0x0002;
// The update sequence protects the last two bytes of every 512-byte stretch.
inline constexpr size_t kFixupStride = 512;
inline constexpr size_t kMinRecordSize = 512;
inline constexpr size_t kMaxRecordSize = 4096;
inline constexpr uint32_t kDefaultRecordSize = 1024;

// Attribute header (common part).
inline constexpr size_t kAttrType = 0x00;        // u32
inline constexpr size_t kAttrLength = 0x04;      // u32
inline constexpr size_t kAttrNonResident = 0x08; // u8
inline constexpr size_t kAttrNameLength = 0x09;  // u8, UTF-16 units
inline constexpr size_t kAttrNameOffset = 0x0A;  // u16
inline constexpr size_t kAttrFlags = 0x0C;       // u16
inline constexpr size_t kAttrId = 0x0E;          // u16
// Resident form.
inline constexpr size_t kAttrValueLength = 0x10;  // u32
inline constexpr size_t kAttrValueOffset = 0x14;  // u16
inline constexpr size_t kAttrResidentHeader = 0x18;
// Non-resident form.
inline constexpr size_t kAttrStartVcn = 0x10;         // u64
inline constexpr size_t kAttrLastVcn = 0x18;          // u64
inline constexpr size_t kAttrRunlistOffset = 0x20;    // u16
inline constexpr size_t kAttrCompressionUnit = 0x22;  // u8, log2 of clusters per unit
inline constexpr size_t kAttrAllocatedSize = 0x28;    // u64
inline constexpr size_t kAttrRealSize = 0x30;         // u64
inline constexpr size_t kAttrInitializedSize = 0x38;  // u64
inline constexpr size_t kAttrNonResidentHeader = 0x40;

inline constexpr uint16_t kAttrFlagCompressed = 0x0001;
inline constexpr uint16_t kAttrFlagEncrypted = 0x4000;
inline constexpr uint16_t kAttrFlagSparse = 0x8000;

// Attribute types.
inline constexpr uint32_t kTypeStandardInformation = 0x10;
inline constexpr uint32_t kTypeAttributeList = 0x20;
inline constexpr uint32_t kTypeFileName = 0x30;
inline constexpr uint32_t kTypeVolumeName = 0x60;
inline constexpr uint32_t kTypeData = 0x80;
inline constexpr uint32_t kTypeEnd = 0xFFFFFFFF;

// $STANDARD_INFORMATION value.
inline constexpr size_t kSiCreated = 0x00;
inline constexpr size_t kSiModified = 0x08;
inline constexpr size_t kSiMftChanged = 0x10;
inline constexpr size_t kSiAccessed = 0x18;
inline constexpr size_t kSiAttributes = 0x20;  // u32
inline constexpr size_t kSiMinimum = 0x24;

// $FILE_NAME value.
inline constexpr size_t kFnParent = 0x00;      // u64 file reference
inline constexpr size_t kFnFlags = 0x38;       // u32
inline constexpr size_t kFnNameLength = 0x40;  // u8, UTF-16 units
inline constexpr size_t kFnNameSpace = 0x41;   // u8
inline constexpr size_t kFnName = 0x42;
inline constexpr uint32_t kFnFlagDirectory = 0x10000000;

// $ATTRIBUTE_LIST entry.
inline constexpr size_t kAlType = 0x00;        // u32
inline constexpr size_t kAlLength = 0x04;      // u16
inline constexpr size_t kAlNameLength = 0x06;  // u8, UTF-16 units
inline constexpr size_t kAlNameOffset = 0x07;  // u8
inline constexpr size_t kAlStartVcn = 0x08;    // u64
inline constexpr size_t kAlReference = 0x10;   // u64
inline constexpr size_t kAlMinimum = 0x1A;     // up to the attribute id

// File attribute bits shown and filtered on.
inline constexpr uint32_t kFileAttrCompressed = 0x800;
inline constexpr uint32_t kFileAttrDirectory = 0x10000000;

// Records 0–23 are the file system's own; a parent at or below this number is the root.
inline constexpr uint64_t kLastSystemRecord = 23;
// Records the scans start at (the system files and their reserve come first).
inline constexpr uint32_t kFirstUserRecord = 30;

// A file reference holds the record number in its low 48 bits and the record's sequence
// number (how often it was reused) in the high 16.
inline constexpr uint64_t referenceNumber(uint64_t reference) { return reference & 0x0000FFFFFFFFFFFFull; }
inline constexpr uint16_t referenceSequence(uint64_t reference) { return uint16_t(reference >> 48); }

// System records of the MFT the engine reads.
inline constexpr uint64_t kRecordBitmap = 6;
// $MFTMirr copies the MFT's first four records.
inline constexpr uint32_t kMirrorRecords = 4;

}  // namespace velk::ntfs
