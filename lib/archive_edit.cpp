// archive_edit.cpp - changing a package without rebuilding it: entries added,
// replaced and deleted, every other entry's stored bytes carried over as they are.
#include <exception>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive.h"
#include "host/host.h"
#include "name_match.h"
#include "names.h"
#include "package_writer.h"
#include "pending_file.h"

namespace {

// An entry name as the package's readers compare it: '/' is '\', and ASCII letters
// are taken in lower case.
std::u16string Folded(std::u16string_view name) {
  std::u16string out(name);
  for (char16_t& c : out) {
    if (c == u'/') {
      c = u'\\';
    } else if (c >= u'A' && c <= u'Z') {
      c = static_cast<char16_t>(c - u'A' + u'a');
    }
  }
  return out;
}

bool SameEntry(const PckEntry& a, const PckEntry& b) {
  return std::char_traits<char16_t>::compare(a.name, b.name, kPckNameUnits) == 0 &&
         a.reserved1 == b.reserved1 && a.offset == b.offset && a.dataSize == b.dataSize &&
         a.storedSize == b.storedSize && a.reserved2 == b.reserved2;
}

}  // namespace

PckStatus PckArchive::Edit(const std::u16string& packagePath, const PckChanges& changes,
                           int32_t level, ProgressCallback progress, PckEditResult* result) {
  host::Host& h = host::Host::Current();
  *result = PckEditResult{};
  Close();
  failure_ = {};
  position_ = -1;

  std::u16string target;
  host::PathKind kind;
  if (!host::InspectPath(packagePath, &target, &kind)) {
    result->unopened = true;
    return Fail(PckStatus::kFileOpenError, packagePath, host::LastErrorText());
  }
  if (kind == host::PathKind::kMissing && changes.deletions.empty()) {
    // Nothing to edit: the package is made as Create makes it.
    const PckStatus status =
        Create(changes.baseDirectory, level, packagePath, changes.files, progress);
    if (IsError(status)) return status;
    result->created = true;
    result->added = entries_.size();
    for (const PckEntry& entry : entries_) result->encoded += entry.dataSize;
    return status;
  }
  EntryList checked;  // the table of the new package, as read back from the disk
  const PckStatus opened = Open(packagePath);
  if (IsError(opened)) {
    result->unopened = true;
    Close();
    return opened;
  }

  try {
    // Deletions first, against the package as it is.
    std::vector<bool> dropped(entries_.size(), false);
    if (!changes.deletions.empty()) {
      PckNameSelection deletions;
      for (const std::u16string& pattern : changes.deletions) deletions.Include(pattern);
      for (size_t k = 0; k < entries_.size(); ++k) {
        if (deletions.Selects(EntryNameView(entries_[k].name))) {
          dropped[k] = true;
          ++result->deleted;
        }
      }
      result->unmatched = deletions.UnmatchedIncludes();
      if (!result->unmatched.empty()) {
        result->deleted = 0;
        return Fail(PckStatus::kFileNotFound, result->unmatched.front(), u"matches no entry");
      }
    }

    // Every name is checked before anything is written, as Create checks them.
    const size_t baseLength = changes.baseDirectory.size();
    std::vector<std::u16string> names(changes.files.size());
    for (size_t k = 0; k < changes.files.size(); ++k) {
      std::u16string problem;
      names[k] = EntryNameOfFile(changes.files[k], baseLength, &problem);
      if (!problem.empty()) {
        return Fail(PckStatus::kFileOperationError, changes.files[k], std::move(problem));
      }
    }

    // The old package may lie in the tree added: it is never packed into itself.
    host::FileId packageId;
    const bool packageKnown = h.GetFileId(target, &packageId);

    // The plan: the entries kept, in table order, then the files added put in place
    // of the entries they replace or appended behind them.
    std::vector<PlannedEntry> plan;
    plan.reserve(entries_.size() + changes.files.size());
    std::unordered_map<std::u16string, size_t> byName;  // folded name -> plan index
    std::vector<size_t> again;  // plan indexes of later entries of a name already planned
    for (size_t k = 0; k < entries_.size(); ++k) {
      if (dropped[k]) continue;
      PlannedEntry& planned = plan.emplace_back();
      planned.carried = &entries_[k];
      if (!byName.emplace(Folded(EntryNameView(entries_[k].name)), plan.size() - 1).second) {
        again.push_back(plan.size() - 1);
      }
    }
    std::vector<bool> renewed(plan.size(), false);  // a kept entry that gets new data
    for (size_t k = 0; k < changes.files.size(); ++k) {
      if (packageKnown) {
        host::FileId id;
        if (h.GetFileId(changes.files[k], &id) && id == packageId) continue;
      }
      auto [at, fresh] = byName.emplace(Folded(names[k]), plan.size());
      if (fresh) {
        plan.push_back(PlannedEntry{&changes.files[k], std::move(names[k]), nullptr});
        ++result->added;
        continue;
      }
      PlannedEntry& planned = plan[at->second];
      if (planned.carried) {
        renewed[at->second] = true;
        ++result->replaced;
      }
      planned = PlannedEntry{&changes.files[k], std::move(names[k]), nullptr};
    }
    // A name that got new data keeps one entry: the later ones of it go.
    std::vector<bool> gone(plan.size(), false);
    for (size_t index : again) {
      const size_t first = byName.at(Folded(EntryNameView(plan[index].carried->name)));
      if (renewed[first]) {
        gone[index] = true;
        ++result->deleted;
      }
    }
    if (result->replaced + result->added + result->deleted == 0) {
      return PckStatus::kSuccess;  // nothing changes: nothing is written
    }
    if (!again.empty()) {
      size_t kept = 0;
      for (size_t k = 0; k < plan.size(); ++k) {
        if (gone[k]) continue;
        if (kept != k) plan[kept] = std::move(plan[k]);
        ++kept;
      }
      plan.resize(kept);
    }

    // The new package, beside the real file of the old one.
    if (!host::MayReplaceFile(target)) {
      return Fail(PckStatus::kFileOpenError, packagePath, host::LastErrorText());
    }
    PendingFile pending;
    if (!pending.Begin(target)) {
      return Fail(PckStatus::kFileOpenError, packagePath, pending.reason());
    }
    EntryList written;
    PckEditResult counts = *result;
    try {
      PackageWriter writer(pending.file(), packagePath);
      Layout layout;
      layout.level = level;
      layout.from = file_.get();
      layout.fromSize = fileSize_;
      layout.skip = packageKnown ? &packageId : nullptr;
      layout.progress = progress;
      layout.label = u"write data";
      LayoutTotals totals;
      position_ = -1;  // the copies may move the package's stream
      LayOutPackage(writer, plan, layout, &written, &totals);
      counts.copied = totals.copied;
      counts.encoded = totals.encoded;
      // The new package keeps what the old one was: its permissions, owner and group.
      if (!pending.file()->CopyAccessFrom(target)) {
        Raise(PckStatus::kFileOperationError, packagePath, host::LastErrorText());
      }
      if (!pending.Finish()) {
        Raise(PckStatus::kFileOperationError, packagePath, pending.reason());
      }
      // What is on the disk must read back as the table that was written.
      {
        PckArchive check;
        const PckStatus status = check.Open(pending.tempPath());
        bool same = !IsError(status) && check.entries().size() == written.size();
        for (size_t k = 0; same && k < written.size(); ++k) {
          same = SameEntry(check.entries()[k], written[k]);
        }
        if (!same) {
          Raise(PckStatus::kFileOperationError, packagePath,
                u"the new package does not read back as it was written" +
                    (check.failure().reason.empty() ? std::u16string()
                                                    : u": " + check.failure().reason));
        }
        checked = std::move(check.entries_);
      }
      // The old package is let go before the new one takes its place (Windows
      // renames nothing over an open file).
      file_.reset();
      if (!pending.Commit()) {
        Raise(PckStatus::kFileOperationError, packagePath, pending.reason());
      }
    } catch (RaisedStatus& raised) {
      pending.Abandon();
      PckFailure failure{std::move(raised.subject), std::move(raised.reason)};
      if (!file_) (void)Open(packagePath);
      position_ = -1;
      failure_ = std::move(failure);
      *result = PckEditResult{};
      return raised.status;
    }
    *result = std::move(counts);
  } catch (const std::bad_alloc&) {
    const PckFailure failure{packagePath, std::u16string(kNoMemoryReason)};
    if (!file_) (void)Open(packagePath);
    position_ = -1;
    failure_ = failure;
    *result = PckEditResult{};
    return PckStatus::kFileOperationError;
  } catch (const std::exception& error) {
    // A worker thread that cannot be started, say: nothing else may leave here.
    const std::string what = error.what();
    if (!file_) (void)Open(packagePath);
    position_ = -1;
    failure_ = PckFailure{packagePath, std::u16string(what.begin(), what.end())};
    *result = PckEditResult{};
    return PckStatus::kFileOperationError;
  }

  // The object takes the new package. Its table was read back from the disk just
  // before the rename and is not decoded a second time.
  Close();
  file_ = h.OpenFile(packagePath, host::OpenMode::kRead);
  if (file_ && file_->SeekToEnd() && (fileSize_ = file_->Tell()) > 0) {
    entries_ = std::move(checked);
  } else {
    (void)Open(packagePath);  // as Create, whatever this finds
  }
  failure_ = {};
  path_ = packagePath;
  return PckStatus::kSuccess;
}
