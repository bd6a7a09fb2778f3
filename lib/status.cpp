// status.cpp - the fixed messages of PckStatus.
#include "status.h"

const char16_t* PckStatusMessage(PckStatus status) {
  switch (status) {
    case PckStatus::kSuccess:
      return u"success";
    case PckStatus::kFileOpenError:
      return u"file open error";
    case PckStatus::kNotSupported:
      return u"not supported";
    case PckStatus::kGuardByteError:
      return u"guard byte error";
    case PckStatus::kZlibError:
      return u"zlib error";
    case PckStatus::kFileNotFound:
      return u"file not found in archive";
    case PckStatus::kCriticalError:
      return u"critical error";
    case PckStatus::kFileOperationError:
      return u"file operation error";
  }
  return u"";
}
