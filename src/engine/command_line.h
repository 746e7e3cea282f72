// The command line: the options record (CommandLineOptions), reading one argument
// into it (ParseOption) and refusing bad or conflicting combinations (ValidateOptions).
#pragma once
#include <string>

#include "nt/win32.h"

// String-table messages of the option checks.
const UINT kMessageDataFileUnc = 57345;
const UINT kMessageLogFileUnc = 57346;
const UINT kMessageDataFileMissing = 57347;
const UINT kMessageDataFileUnused = 57348;

// The longest computer name (NetBIOS names hold 15 characters).
const size_t kMaxComputerName = 15;

// Where a file the job reads or writes must be, checked wherever its name is given (the
// command line, the wizard) so that a name pointing nowhere is refused before the job
// starts. Each gives the message to show, or an empty text when the name will do.
// The synchronization file a backup controller reads must open.
std::string MissingDataFileText(const std::string& path);
// A file the job writes (log, a primary controller's synchronization file) needs a folder
// that exists or that its writer can make (the nearest existing parent is a folder).
std::string MissingFolderText(const std::string& path);

struct CommandLineOptions {
    int invalid = 0;
    int nameGiven = 0;
    std::string name;
    int clean = 0;
    int deleteProgram = 0;  // "delete"
    int fileSystem = 1;
    int start = 0;
    int install = 0;
    int remove = 0;
    int dataGiven = 0;
    std::string dataFile;
    int logGiven = 0;
    std::string logFile;
    int verbose = 0;
    int debug = 0;
    int sysprep = 0;
    int autoinstall = 0;
    int quiet = 0;
    int deleteNow = 0;
    std::string deleteNowPath;
    std::string invalidText;

    // One argument with its leading "-" or "/" already removed; both flags are ignored.
    void ParseOption(const char* argument, BOOL hadPrefix, BOOL isLast);
    // 1 when the run may go on; 0 after a message box. Reads machineRole.
    int ValidateOptions() const;
};
