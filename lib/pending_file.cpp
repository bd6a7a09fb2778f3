// pending_file.cpp - a temporary file beside the target, renamed over it when done.
#include "pending_file.h"

bool PendingFile::Begin(const std::u16string& target) {
  Abandon();
  host::Host& h = host::Host::Current();
  target_ = target;
  file_ = h.CreateTemporaryBeside(target, &tempPath_);
  if (!file_) {
    reason_ = host::LastErrorText();
    tempPath_.clear();
    return false;
  }
  host::RemoveOnInterrupt(tempPath_);
  return true;
}

bool PendingFile::Finish(bool durable) {
  if (!file_) return false;
  bool ok = durable ? file_->Sync() : file_->Flush();
  if (!ok) reason_ = host::LastErrorText();
  if (!file_->Close() && ok) {
    ok = false;
    reason_ = host::LastErrorText();
  }
  file_.reset();
  return ok;
}

bool PendingFile::Commit(bool durable) {
  if (tempPath_.empty()) return false;
  host::Host& h = host::Host::Current();
  bool ok = !file_ || Finish(durable);
  if (ok && !h.ReplaceFile(tempPath_, target_)) {
    ok = false;
    reason_ = host::LastErrorText();
  }
  if (!ok) {
    h.RemoveFile(tempPath_);
  }
  host::ForgetOnInterrupt(tempPath_);
  tempPath_.clear();
  return ok;
}

void PendingFile::Abandon() {
  if (tempPath_.empty()) return;
  file_.reset();
  host::Host::Current().RemoveFile(tempPath_);
  host::ForgetOnInterrupt(tempPath_);
  tempPath_.clear();
}
