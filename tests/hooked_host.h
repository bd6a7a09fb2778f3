// hooked_host.h - a host whose temporary files and renames call a hook first, for
// tests that stop a writer at each of its write points (every write, copy and
// sync of the temporary file, and the rename over the target, before and after).
#ifndef QUILLO_TESTS_HOOKED_HOST_H_
#define QUILLO_TESTS_HOOKED_HOST_H_

#include <functional>
#include <memory>
#include <string>

#include "host/host.h"

#ifndef _WIN32
#include <signal.h>
#include <unistd.h>
#endif

namespace testhook {

class HookedFile : public host::File {
 public:
  HookedFile(std::unique_ptr<host::File> real, std::function<void(const char*)> hook)
      : real_(std::move(real)), hook_(std::move(hook)) {}
  size_t Read(void* data, size_t size) override { return real_->Read(data, size); }
  size_t Write(const void* data, size_t size) override {
    hook_("write");
    return real_->Write(data, size);
  }
  uint64_t CopyFrom(host::File& source, int64_t position, uint64_t size) override {
    hook_("copy");
    return real_->CopyFrom(source, position, size);
  }
  bool Seek(int64_t position) override { return real_->Seek(position); }
  bool SeekToEnd() override { return real_->SeekToEnd(); }
  int64_t Tell() override { return real_->Tell(); }
  bool Flush() override { return real_->Flush(); }
  bool Sync() override {
    hook_("sync");
    return real_->Sync();
  }
  bool Close() override { return real_->Close(); }
  bool CopyAccessFrom(const std::u16string& path) override { return real_->CopyAccessFrom(path); }

 private:
  std::unique_ptr<host::File> real_;
  std::function<void(const char*)> hook_;
};

class HookedHost : public host::HostWrapper {
 public:
  explicit HookedHost(std::function<void(const char*)> hook)
      : HostWrapper(host::Host::Default()), hook_(std::move(hook)) {}
  std::unique_ptr<host::File> CreateTemporaryBeside(const std::u16string& path,
                                                    std::u16string* tempPath) override {
    auto file = target_.CreateTemporaryBeside(path, tempPath);
    if (!file) return file;
    return std::make_unique<HookedFile>(std::move(file), hook_);
  }
  bool ReplaceFile(const std::u16string& from, const std::u16string& to) override {
    hook_("rename");
    const bool replaced = target_.ReplaceFile(from, to);
    hook_("renamed");
    return replaced;
  }

 private:
  std::function<void(const char*)> hook_;
};

#ifndef _WIN32
// Ends this process as a kill would, at once.
[[noreturn]] inline void KillSelf() {
  kill(getpid(), SIGKILL);
  _exit(126);
}

// Interrupts this process. SIGTERM rather than SIGINT: a shell starts background
// jobs with SIGINT ignored, and an ignored signal gets no handler.
inline void InterruptSelf() {
  raise(SIGTERM);
  _exit(125);  // the handler ends the process
}
#endif

}  // namespace testhook

#endif  // QUILLO_TESTS_HOOKED_HOST_H_
