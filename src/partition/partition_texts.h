#pragma once
// Every text the partition recovery page shows, kept in the core so the page, the command
// line and the tests share one copy. Texts are the program's own, verbatim (trailing
// blanks and odd spacing included).

#include <cstdint>
#include <string>
#include <string_view>

#include "disk/records.h"

namespace velk {

// Result codes of the partition-table rewrite.
enum class RewriteCode : int {
  Rewritten = 0,
  NoDisk = 1,
  NoCandidate = 2,
  DeviceFailure = 3,
  InvalidPartition = 4,
  NoGap = 5,
};

// Message boxes of the Recovery button (caption kCaptionError, stop icon, for codes 1–5).
inline constexpr std::string_view kTextSelectDisk = "Select the disk you want recover";
inline constexpr std::string_view kTextSelectPartition = "Select the partition you want recover";
inline constexpr std::string_view kTextCannotAccessDisk = "Recovery failed. Can not access the disk! ";
inline constexpr std::string_view kTextInvalidPartition =
    "The partition selected is invalid. Please select the other partition.";
inline constexpr std::string_view kTextCannotRecover =
    "The partition selected can't be recovered. Please select the other partition.";

// The question before any write (caption kCaptionWarning, OK and Cancel).
inline constexpr std::string_view kTextDangerous = "This operation is very dangerous, Are you sure to continue?";
// After code 0 (caption kCaptionRecoverySuccess, information icon, Yes and No).
inline constexpr std::string_view kTextRecovered =
    "The partition has been recovered successfully. you must restart your computer to take effect.\n"
    " Click <Yes> to restart or click <No> to continue.";

// Backup button and backup list.
inline constexpr std::string_view kTextBackupQuestion = "Do you want to back up all partitions on the disk ?";
inline constexpr std::string_view kTextBackupDone = "Backup has done!";
inline constexpr std::string_view kTextBackupFailed = "Can't backup the disk!";
// Shown (without caption) when a backup file or the automatic scan cannot be loaded.
inline constexpr std::string_view kTextCantLoadBackup = "Can't load the Backup file!";
inline constexpr std::string_view kTextRunAsAdministrator = "Please run this product as Administrator!";

inline constexpr std::string_view kCaptionError = "Error";
inline constexpr std::string_view kCaptionWarning = "Warning";
inline constexpr std::string_view kCaptionConfirm = "Confirm";
inline constexpr std::string_view kCaptionSuccess = "Success";
inline constexpr std::string_view kCaptionInformation = "Information";
inline constexpr std::string_view kCaptionRecoverySuccess = "Recovery Success!";

// Save and open dialogs of backup files.
inline constexpr std::string_view kBackupExtension = ".pbf";
inline constexpr std::string_view kBackupInitialName = "*.pbf";
inline constexpr std::string_view kBackupFilter = "Partition backup files (*.pbf)|*.pbf||";

// Backup list view (control 10602).
inline constexpr std::string_view kColumnDateCreated = "Date Created";
inline constexpr int kColumnDateCreatedWidth = 140;
inline constexpr std::string_view kColumnFilePath = "File Path";
inline constexpr int kColumnFilePathWidth = 160;
inline constexpr std::string_view kRowAutoScan = "  Auto Scan ...    ";
inline constexpr std::string_view kRowAutoScanNote = "(If you haven't any backup file)";
inline constexpr std::string_view kRowAddBackup = "  Add backup file...";
inline constexpr std::string_view kRowAddBackupNote = "(If you have backup files)";
// strftime formats of the creation time: files found in the backup folder, files added.
inline constexpr const char* kFoundFileTimeFormat = "     %Y-%m-%d %H:%M:%S";
inline constexpr const char* kAddedFileTimeFormat = "  %Y-%m-%d %H:%M:%S";

// Buttons of the page.
inline constexpr std::string_view kButtonBack = "Back";
inline constexpr std::string_view kButtonNext = "Next";
inline constexpr std::string_view kButtonRecovery = "Recovery";
inline constexpr std::string_view kButtonBackup = "Backup";

// The message of a rewrite result; empty for code 0, whose answer is the kTextRecovered
// question.
std::string_view rewriteMessage(RewriteCode code);

// The three texts of a candidate line: "%c:  %s" at x 30, "Start Sector : %d" at x 100,
// "End Sector : %d" at x 250. Sectors print unsigned, so disks past 1 TiB show right.
struct CandidateLine {
  std::string name;
  std::string start;
  std::string end;
};
CandidateLine candidateLine(const PartitionRecord& candidate);

// Text of a disk combo item: name, bus type and the size in B, KB, MB or GB.
std::string diskComboText(const DiskRecord& disk);

// Disk map colour (0x00BBGGRR) by file-system name; grey for gaps and unknown names.
uint32_t diskMapColour(std::string_view fsName);

}  // namespace velk
