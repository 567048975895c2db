#pragma once
// Error numbers shared by the engines. Operations answer 0 or one of these (or a platform
// errno from the device layer); the user interface turns them into message boxes.

namespace velk {

using ErrorCode = int;

inline constexpr ErrorCode kOk = 0;
inline constexpr ErrorCode kNothingToDo = -1;        // empty input, nothing found to act on
inline constexpr ErrorCode kUnsupported = -2;        // a layout or input we do not handle
inline constexpr ErrorCode kErrorInvalidAccess = 12;  // the engine's own structure checks failed
inline constexpr ErrorCode kErrorInvalidDrive = 15;   // not the expected file system / no device
inline constexpr ErrorCode kErrorInvalidParameter = 87;
inline constexpr ErrorCode kErrorBadDevice = 1200;
inline constexpr ErrorCode kErrorCancelled = 1223;    // the user stopped the job

}  // namespace velk
