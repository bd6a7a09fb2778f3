// status.h - PckStatus, the result code of every package operation, and its messages.
//
// Every operation of the package library that can fail returns a PckStatus; the
// library prints nothing and throws nothing of its own to the caller. The numbers
// and their messages are fixed, so callers may store, compare and print them.
#ifndef QUILLO_STATUS_H_
#define QUILLO_STATUS_H_

#include <cstdint>

// The numbered result codes of the package library; each has a fixed message.
enum class PckStatus : int32_t {
  kSuccess = 0,             // "success"
  kFileOpenError = 1,       // "file open error": a file cannot be opened or created
  kNotSupported = 2,        // "not supported": not a package (magic or version word)
  kGuardByteError = 3,      // "guard byte error": a guard word or record length is wrong
  kZlibError = 4,           // "zlib error": damaged stored bytes, or a block not encodable
  kFileNotFound = 5,        // "file not found in archive": an edit's deletion matches nothing
  kCriticalError = 6,       // "critical error"; no operation produces it
  kFileOperationError = 7,  // "file operation error": a read, write or rename failed
};

// Returns the fixed message of `status` ("success", "file open error", ...): a
// zero-terminated UTF-16 string that lives as long as the program, never null.
// An unknown code gives an empty string. Cannot fail.
const char16_t* PckStatusMessage(PckStatus status);

// Returns true for every status other than kSuccess.
inline bool IsError(PckStatus status) { return status != PckStatus::kSuccess; }

#endif  // QUILLO_STATUS_H_
