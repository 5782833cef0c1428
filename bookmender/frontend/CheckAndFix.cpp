#include "frontend/CheckAndFix.h"

#include <new>

#include "drawing/ContainerIntegrity.h"
#include "drawing/RuleSet.h"
#include "workbook/BiffRecordReader.h"
#include "workbook/OptimiserTag.h"
#include "workbook/SubstreamDiscovery.h"
#include "workbook/WorkbookStream.h"

namespace bookmender {

namespace {

std::wstring Num(std::int64_t n) { return std::to_wstring(n); }

template <class Failure>
bool Is(const Exception& e) {
  return dynamic_cast<const Failure*>(&e) != nullptr;
}

// The classes that have codes of their own, most derived first; every
// other failure of the family is a malformed workbook.
struct FailureCode {
  bool (*is)(const Exception&);
  ResultCode code;
};
constexpr FailureCode kFailureCodes[] = {
    {Is<WorkbookStreamOpenFileNotFoundException>, FileNotFound},
    {Is<WorkbookStreamOpenAccessDeniedException>, AccessDenied},
    {Is<WorkbookStreamOpenSharingViolationException>, SharingViolation},
    {Is<WorkbookStreamOpenNotBIFF8Exception>, NotBiff8Workbook},
    {Is<PasswordProtectedWorkbookException>, PasswordProtected},
};

// What a run holds. Members go in the reverse order of their declaration:
// both workbook streams before the temporary file they may use, and the
// user's file, held from its open to the copy back, last.
struct RunResources {
  std::shared_ptr<platform::HeldFile> held;
  TempFilePtr temp;
  WorkbookStream copy;
  WorkbookStream file;
};

// The run proper; exceptions go to CheckAndFix.
ResultCode Run(const std::wstring& fileName, bool forFix, RunResources& run, const LineSink& lines,
               const platform::Beneath* beneath) {
  run.file.openHeld(fileName, forFix, run.held, beneath);
  if (!HasOptimiserTag(run.file)) {
    lines.output(L"File has not been optimized by Trimora");
    return NoProblems;
  }
  // The index keeps what the rules read; the sheets are found while it is
  // read: one pass over the records.
  const RuleSet rules;
  SheetFinder finder;
  const RecordIndex records = ReadBiffRecords(run.file, finder, rules.needs());
  lines.output(L"Read " + std::to_wstring(records.size()) + L" BIFF records.");
  ValidateBiffRecords(records);
  const std::vector<SheetSubstream> sheets = finder.take();

  bool anySuspicious = false;
  for (const SheetSubstream& sheet : sheets) {
    lines.output((sheet.suspicious ? L"Suspicious sheet beginning at record "
                                   : L"Normal sheet beginning at record ") +
                 Num(static_cast<std::int32_t>(sheet.bofIndex)));
    anySuspicious = anySuspicious || sheet.suspicious;
  }

  ResultCode result = NoProblems;
  if (!anySuspicious) {
    lines.output(L"No suspicious sheets");
  } else {
    for (const SheetSubstream& sheet : sheets) {
      for (const SheetRule* rule : rules.repairs()) {
        if (!rule->covers(sheet)) continue;
        const Finding finding = rule->check(sheet, RuleInput{records, run.file, lines});
        if (!finding.needsRepair) continue;
        lines.output(L"Sheet starting at " + Num(static_cast<std::int32_t>(sheet.bofIndex)) + L" needs fixing");
        if (run.temp == nullptr) {
          // A fix will want its backup: its copying and its flush to disk,
          // the longest step of a fix, go on beside the repair. It gets its
          // name only once the repair has passed and the backup is asked for.
          if (forFix) run.held->startBackup();
          lines.output(L"Making temporary copy of file to try fix");
          run.temp.reset(new TempFile());
          run.temp->create();
          platform::Win32Error error = 0;
          // The copy is scratch work: it is not flushed to disk.
          if (!run.held->copyTo(*run.temp->file(), error)) {
            lines.error(L"Failed to create temp copy - Win32 error code: " + std::to_wstring(error));
            return TempCopyFailed;
          }
          run.copy.openScratch(run.temp->file(), fileName);
        }
        ApplyRepair(rule->plan(sheet, finding, records), records, run.copy, lines);
        result = Fixable;
      }
    }
  }

  lines.output(L"Checking Office drawing container integrity");
  if (!CheckAllContainers(records, sheets, result == Fixable ? run.copy : run.file, lines)) {
    return ContainerLengthIssues;
  }
  return result;
}

}  // namespace

ResultCode CodeOf(const Exception& failure) {
  for (const FailureCode& entry : kFailureCodes) {
    if (entry.is(failure)) return entry.code;
  }
  return Malformed;
}

ResultCode CheckAndFix(FixPlan& plan, const std::wstring& fileName, bool forFix, const LineSink& lines,
                       const platform::Beneath* beneath) {
  RunResources run;
  ResultCode result = NoProblems;
  // A failure's message is the run's last line; its class is the exit code.
  try {
    result = Run(fileName, forFix, run, lines, beneath);
    if (result == Fixable && run.copy.storage()) plan.changes = run.copy.storage()->writtenRanges();
  } catch (const Exception& e) {
    lines.error(e.fullMessage());
    result = CodeOf(e);
  } catch (const std::bad_alloc&) {
    // Anything else that needs more memory than the process may have.
    lines.error(Exception(MessageDetail(L"Not enough memory")).fullMessage());
    result = Malformed;
  }
  // The copy and the user's file, still held, go on to the backup and the
  // copy back; the run lets go of everything else as it ends.
  if (result == Fixable) {
    plan.fixedCopy = run.temp;
    plan.original = run.held;
  }
  return result;
}

}  // namespace bookmender
