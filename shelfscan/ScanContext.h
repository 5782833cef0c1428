// Everything one scan works with, made by RunShelfscan and handed down: its
// settings, its logs, its report, the tally and the files running. Two scans
// in one process have two contexts and share nothing.
#pragma once

#include <set>
#include <string>

#include "ChildRun.h"
#include "MainLog.h"
#include "Report.h"
#include "Runs.h"

namespace shelfscan {

struct ScanContext {
  explicit ScanContext(const RunSettings& scanSettings)
      // Gathered and appended a run at a time unless each child writes its
      // own output there, one at a time, as always.
      : settings(scanSettings), detail(scanSettings.jobs > 1 || scanSettings.report || scanSettings.resident) {
    log.CurrentLogPath = scanSettings.logPath;
    log.FilesStillRunning = &running;
  }
  ScanContext(const ScanContext&) = delete;
  ScanContext& operator=(const ScanContext&) = delete;

  const RunSettings settings;
  MainLog log;
  DetailLog detail;
  ReportFile report;
  Tally tally;
  RunningFiles running;
  // Resuming: the files the report already has a final outcome for, passed
  // over. Filled before the first run, read by the walk's thread alone.
  std::set<std::wstring> done;
};

}  // namespace shelfscan
