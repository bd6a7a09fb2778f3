// status.h - PckStatus, the result code of every package operation.
#ifndef QUILLO_STATUS_H_
#define QUILLO_STATUS_H_

#include <cstdint>

// The numbered result codes of the package library; each has a fixed message.
enum class PckStatus : int32_t {
  kSuccess = 0,
  kFileOpenError = 1,
  kNotSupported = 2,
  kGuardByteError = 3,
  kZlibError = 4,
  kFileNotFound = 5,   // has a message; no operation produces it
  kCriticalError = 6,  // has a message; no operation produces it
  kFileOperationError = 7,
};

// The message of a status: "success", "file open error", ... An unknown code
// gives an empty string.
const char16_t* PckStatusMessage(PckStatus status);

inline bool IsError(PckStatus status) { return status != PckStatus::kSuccess; }

#endif  // QUILLO_STATUS_H_
