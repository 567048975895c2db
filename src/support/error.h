#pragma once
// One error type for the whole core. A failure says what kind it is (the device failed, the
// data is damaged, the input is not something we read, the user stopped, the request is
// wrong), carries the errno or the sector where one applies, and names what was being done.
// `describe` turns it into the sentence the command line and the desktop app both show.
//
// Kept apart on purpose: Corrupt means "this structure is damaged, skip it and go on", Io
// means "the device did not answer"; callers treat them differently.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include <tl/expected.hpp>

namespace velk {

enum class ErrorKind : uint8_t {
  Io,           // a read or write failed (errno says why; sector says where, when known)
  Corrupt,      // a structure fails its checks
  Unsupported,  // not a file system, layout or task we handle
  Cancelled,    // the user stopped the job
  Usage,        // the request itself is wrong (options, paths, ids)
  NotFound,     // nothing there: a missing file, drive or record
};

struct Error {
  ErrorKind kind = ErrorKind::Io;
  // What was being read, checked or asked for, as a phrase that completes a sentence:
  // "the boot sector", "the MFT", "--date". May be empty.
  std::string subject;
  // Why, in plain words, when the kind alone does not say it ("the jump byte is not FAT16's").
  std::string detail;
  int errnum = 0;                  // the system's error number for Io failures
  std::optional<uint64_t> sector;  // absolute 512-byte disk sector, when known

  bool is(ErrorKind k) const { return kind == k; }
};

// The sentence for the user: starts with a capital, ends with a full stop, never a bare number.
std::string describe(const Error& error);

template <typename T>
using Result = tl::expected<T, Error>;
// Success or an error, for operations that return no data.
using Status = tl::expected<void, Error>;

inline tl::unexpected<Error> fail(Error error) { return tl::unexpected<Error>(std::move(error)); }

inline Error ioError(std::string subject, int errnum, std::optional<uint64_t> sector = std::nullopt) {
  return Error{ErrorKind::Io, std::move(subject), {}, errnum, sector};
}
inline Error corruptError(std::string subject, std::string detail = {}) {
  return Error{ErrorKind::Corrupt, std::move(subject), std::move(detail), 0, std::nullopt};
}
inline Error unsupportedError(std::string detail) {
  return Error{ErrorKind::Unsupported, {}, std::move(detail), 0, std::nullopt};
}
inline Error cancelledError() { return Error{ErrorKind::Cancelled, {}, {}, 0, std::nullopt}; }
inline Error usageError(std::string detail) { return Error{ErrorKind::Usage, {}, std::move(detail), 0, std::nullopt}; }
inline Error notFoundError(std::string subject, std::string detail = {}) {
  return Error{ErrorKind::NotFound, std::move(subject), std::move(detail), 0, std::nullopt};
}

}  // namespace velk
