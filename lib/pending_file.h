// pending_file.h - a file that replaces its target whole or not at all.
//
// The bytes go to a temporary file beside the target (same folder, so the final
// rename stays on one volume); only once they are all written and on stable
// storage is the temporary file renamed over the target in one step. Until then
// the target is as it was, and an interruption of the process (Ctrl-C, SIGTERM)
// removes the temporary file. Used by the library's writers and by the tool.
#ifndef QUILLO_PENDING_FILE_H_
#define QUILLO_PENDING_FILE_H_

#include <memory>
#include <string>

#include "host/host.h"

class PendingFile {
 public:
  PendingFile() = default;
  ~PendingFile() { Abandon(); }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  // Creates the temporary file beside `target`. False when it cannot be made;
  // reason() then tells why and nothing exists on disk.
  [[nodiscard]] bool Begin(const std::u16string& target);

  // The open temporary file, while one is pending and not finished; null otherwise.
  host::File* file() const { return file_.get(); }
  const std::u16string& tempPath() const { return tempPath_; }
  const std::u16string& target() const { return target_; }

  // Flushes the file (to stable storage when `durable`) and closes it. It stays
  // pending, under tempPath(), so that it can be read back before Commit puts it
  // in place. False when a step fails: reason() tells why, and the file is still
  // pending (Abandon, or the destructor, removes it).
  [[nodiscard]] bool Finish(bool durable = true);

  // Flushes the file to stable storage, closes it and renames it over the target.
  // False when any step fails: the temporary file is then removed, the target is
  // as it was, and reason() tells what went wrong. With `durable` false the bytes
  // are handed to the system but not waited for on the disk: the rename is still
  // one step, so no reader ever sees a cut file, but a power failure may leave
  // either version (for many small files that the user can write again, such as
  // an extraction, where a wait per file would cost far more than the writing).
  // After Finish only the rename is left.
  [[nodiscard]] bool Commit(bool durable = true);

  // Closes and removes the temporary file, if one is pending. The target is not
  // touched.
  void Abandon();

  // The system's reason for the last failure of Begin or Commit.
  const std::u16string& reason() const { return reason_; }

 private:
  std::unique_ptr<host::File> file_;
  std::u16string target_;
  std::u16string tempPath_;
  std::u16string reason_;
};

#endif  // QUILLO_PENDING_FILE_H_
