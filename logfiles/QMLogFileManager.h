// The dated log files: standard error appended to "<application>_<yyyy_MM_dd>.log" in the log
// folder, where a day runs from 03:00 to 03:00 local time, and the retention that deletes
// old log files. Static operations and a few process-wide values; no instances.
#pragma once

#include <optional>
#include <string>

#include "platform/Value.h"

namespace sorv {

class QMLogFileManager {
 public:
  static constexpr const char* gDefaultLogBaseName = "SorvLogFile";
  static constexpr const char* gLogExtension = "log";
  // The log folder ($SORV_LOG_DIR, else $XDG_STATE_HOME/Sorv).
  static std::string gLogPath();

  // Creates the log folder, points standard error at the day's file (appending) and writes
  // the five header lines. When the folder or the file cannot be had, standard error stays
  // where it was. Always true.
  static bool setupLogFile();
  // Sets and gives the application's name: the Info dictionary's CFBundleExecutable, else
  // CFBundleDisplayName, else gDefaultLogBaseName, without a path extension.
  static std::string getApplicationName();
  // Sets and gives the version: CFBundleShortVersionString, else a text saying it is unknown.
  static std::string getCopyrightInfo();
  // "<model> (<machine>)": the DMI product name (or "Unknown") and the uname machine.
  static std::string hostModelAndArch();
  // The name getApplicationName set; nullopt before (then retention needs a "baseName").
  static std::optional<std::string> applicationName();
  // The day's file for the application name (gDefaultLogBaseName when none is set).
  static std::string logFilePathForToday();

  // Retention. Options: "sourcePath" (text, "~" expanded; default gLogPath), "baseName" (text;
  // default the application name), "beforeDate" (date; default now - 3 days),
  // "deleteSubDirectory" (every file at any depth, without following links; default NO),
  // "deleteImmediately" (else the file goes to the user's trash; default NO). Only regular
  // files whose names begin with the base name (any case) and that are strictly older than
  // the cut-off are removed; folders never.
  static void deleteOldLogsWithOptions(const Dict& options);
  // The same test and removal for one file.
  static void deleteItem(const std::string& path, Date beforeDate, const std::string& baseName,
                         bool deleteImmediately);

  // Forgets the application name and version (tests).
  static void resetForTesting();
};

// The local date of now - hours - minutes, as "yyyy_MM_dd".
std::string computeCurrentDaysFolderString2(int hours, int minutes);

// A leading "~" as the home folder, and "~/Documents" as the user's documents folder.
std::string expandingTildeInPath(const std::string& path);

}  // namespace sorv
