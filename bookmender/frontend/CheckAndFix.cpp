#include "drawing/CheckAndFix.h"

#include <algorithm>
#include <new>

#include "drawing/ContainerIntegrity.h"
#include "drawing/SizeDiscrepancy.h"
#include "errors/Exception.h"
#include "workbook/BiffRecordReader.h"
#include "workbook/OptimiserTag.h"
#include "workbook/SubstreamDiscovery.h"
#include "workbook/WorkbookStream.h"

namespace bookmender {

namespace {

std::wstring Num(std::int64_t n) { return std::to_wstring(n); }

// The run proper; exceptions go to the handlers of CheckAndFix. The workbook
// streams and the temporary file belong to the caller so that they are
// released in the same order on every path.
ResultCode Run(const std::wstring& fileName, bool forFix, WorkbookStream& file, WorkbookStream& copy,
               std::shared_ptr<platform::HeldFile>& held, TempFilePtr& temp, const LineSink& lines,
               const platform::Beneath* beneath) {
  file.openHeld(fileName, forFix, held, beneath);
  if (!HasOptimiserTag(file)) {
    lines.output(L"File has not been optimized by Trimora");
    return NoProblems;
  }
  // The sheets are found while the index is read: one pass over the records.
  SheetFinder finder;
  const BiffRecordList records = ReadBiffRecords(file, finder);
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
    bool copyMade = false;
    for (const SheetSubstream& sheet : sheets) {
      if (!sheet.suspicious) continue;
      const std::wstring start = Num(static_cast<std::int32_t>(sheet.bofIndex));
      lines.output(L"Looking at suspicious sheet starting at " + start);
      const std::vector<std::uint32_t> discrepancies =
          MeasureChartDiscrepancies(sheet.bofIndex, records, file, lines);
      if (std::all_of(discrepancies.begin(), discrepancies.end(), [](std::uint32_t d) { return d == 0; })) {
        continue;
      }
      lines.output(L"Sheet starting at " + start + L" needs fixing");
      if (!copyMade) {
        // A fix will want its backup: its copying and its flush to disk,
        // the longest step of a fix, go on beside the repair. It gets its
        // name only once the repair has passed and the backup is asked for.
        if (forFix) held->startBackup();
        lines.output(L"Making temporary copy of file to try fix");
        temp.reset(new TempFile());
        temp->create();
        platform::Win32Error error = 0;
        // The copy is scratch work: it is not flushed to disk.
        if (!held->copyTo(*temp->file(), error)) {
          lines.error(L"Failed to create temp copy - Win32 error code: " + std::to_wstring(error));
          return TempCopyFailed;
        }
        copy.openScratch(temp->file(), fileName);
        copyMade = true;
      }
      FixSheet(records, copy, sheet.bofIndex, discrepancies, lines);
      result = Fixable;
    }
  }

  lines.output(L"Checking Office drawing container integrity");
  if (!CheckAllContainers(records, sheets, result == Fixable ? copy : file, lines)) {
    return ContainerLengthIssues;
  }
  return result;
}

}  // namespace

ResultCode CheckAndFix(FixPlan& plan, const std::wstring& fileName, bool forFix, const LineSink& lines,
                       const platform::Beneath* beneath) {
  WorkbookStream file;
  WorkbookStream copy;
  std::shared_ptr<platform::HeldFile> held;
  TempFilePtr temp;
  // A failure's message is the run's last line; its kind is the exit code,
  // any kind not named here a malformed workbook.
  const auto failed = [&lines](const Exception& e, ResultCode code) {
    lines.error(e.fullMessage());
    return code;
  };
  ResultCode result = NoProblems;
  try {
    result = Run(fileName, forFix, file, copy, held, temp, lines, beneath);
    if (result == Fixable && copy.storage()) plan.changes = copy.storage()->writtenRanges();
  } catch (const WorkbookStreamOpenFileNotFoundException& e) {
    result = failed(e, FileNotFound);
  } catch (const WorkbookStreamOpenAccessDeniedException& e) {
    result = failed(e, AccessDenied);
  } catch (const WorkbookStreamOpenSharingViolationException& e) {
    result = failed(e, SharingViolation);
  } catch (const WorkbookStreamOpenNotBIFF8Exception& e) {
    result = failed(e, NotBiff8Workbook);
  } catch (const PasswordProtectedWorkbookException& e) {
    result = failed(e, PasswordProtected);
  } catch (const Exception& e) {
    result = failed(e, Malformed);
  } catch (const std::bad_alloc&) {
    // Anything else that needs more memory than the process may have.
    result = failed(Exception(MessageDetail(L"Not enough memory")), Malformed);
  }
  // Both workbooks are closed before the copy can be handed on or deleted;
  // the user's file stays held for the steps after.
  file.close();
  copy.close();
  if (result == Fixable) {
    plan.fixedCopy = temp;
    plan.original = held;
  }
  temp.reset();
  return result;
}

}  // namespace bookmender
