#include "Undo.h"

#include "MainLog.h"
#include "ReportReader.h"
#include "ScanContext.h"
#include "Walk.h"
#include "frontend/ResultCode.h"

namespace shelfscan {

bool ReadUndoReport(const std::wstring& path, std::vector<UndoItem>& items) {
  platform::LogFile file;
  platform::LogError error;
  if (!file.open(path, platform::LogUse::kReadOnly, std::string(), kLogLockWait, error)) {
    ReportScanError(path, L"Cannot open the report to undo: " + LogErrorText(error));
    return false;
  }
  const std::wstring fixed = kStatusWords[StatusOf(bookmender::Fixable, true)];
  std::wstring problem;
  const bool read = ReadReport(
      file,
      [&](ReportEntry&& entry) {
        if (entry.label != fixed) return;
        UndoItem item;
        item.file.path = entry.path;
        if (!entry.backup || !entry.root || !entry.proof) {
          item.problem = L"The report holds no proof of what the repair left (its backup, root, sha256, size and "
                         L"backup_sha256): the repair cannot be undone.";
        } else {
          item.file.beneath = platform::Beneath{*entry.root, std::nullopt};
          item.file.undo = FileToCheck::Undo{*entry.backup, *entry.proof};
        }
        items.push_back(std::move(item));
      },
      problem);
  if (!read) ReportScanError(path, L"Cannot undo the report: " + problem);
  return read;
}

void UndoRepairs(const std::vector<UndoItem>& items, FileRuns& runs) {
  ScanContext& scan = runs.context();
  for (const UndoItem& item : items) {
    StopIfRequested(runs);
    if (item.problem.empty()) {
      runs.run(item.file);
      continue;
    }
    scan.log.ReportScanError(item.file.path, item.problem, true);
    if (scan.settings.report) {
      ReportEntry entry;
      entry.path = item.file.path;
      entry.label = kStatusWords[kScanErrorStatus];
      scan.report.append(entry, scan.log);
    }
    scan.tally.add(kScanErrorStatus);
  }
  runs.finish();
  StopIfRequested(runs);
}

}  // namespace shelfscan
