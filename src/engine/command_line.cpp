// Reading and validating the command line options.
#include "engine/command_line.h"

#include <cstdio>
#include <cstring>

#include "core/output.h"
#include "engine/sync_file.h"
#include "identity/computer_name.h"
#include "identity/role_checks.h"

namespace {

// Letter case is ignored the way the system's code page folds it.
bool Equals(const char* text, const char* option) { return lstrcmpiA(text, option) == 0; }

bool StartsWith(const char* text, const char* prefix) {
    int n = lstrlenA(prefix);
    if (lstrlenA(text) < n) return false;
    return CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, text, n, prefix, n) == CSTR_EQUAL;
}

// The argument past its first skip characters, or empty when it is shorter.
std::string After(const char* text, size_t skip) { return strlen(text) >= skip ? std::string(text + skip) : ""; }

bool IsUnc(const std::string& path) { return path.size() >= 2 && path[0] == '\\' && path[1] == '\\'; }

// A string-table text; the texts are also built in, so a missing table still says it.
std::string TableText(UINT id) {
    char text[1024];
    if (LoadStringA(GetModuleHandleA(nullptr), id, text, sizeof text) > 0) return text;
    switch (id) {
        case kMessageDataFileUnc:
            return "Tessiv cannot read or write a data file from a UNC path.  Please specify a filename on the local "
                   "machine.";
        case kMessageLogFileUnc:
            return "Tessiv cannot write a log file to a UNC path.  Please specify a filename on the local machine.";
        case kMessageDataFileMissing:
            return "The data file %s cannot be found or cannot be opened!";
        case kMessageDataFileUnused:
            return "A data file is only used for primary and backup domain controllers!";
    }
    return "";
}

int Refuse(const char* text, UINT icon) {
    ShowAppMessage(nullptr, text, icon);
    return 0;
}

}  // namespace

void CommandLineOptions::ParseOption(const char* argument, BOOL, BOOL) {
    if (!argument) {
        invalid = 1;
        return;
    }
    const char* a = argument;
    if (StartsWith(a, "name")) {
        nameGiven = 1;
        name = After(a, 5);  // the length of "name:"
    } else if (Equals(a, "install")) {
        install = 1;
    } else if (Equals(a, "remove")) {
        remove = 1;
    } else if (Equals(a, "clean")) {
        clean = 1;
    } else if (Equals(a, "delete")) {
        deleteProgram = 1;
    } else if (Equals(a, "nofs")) {
        fileSystem = 0;
    } else if (Equals(a, "fs")) {
        fileSystem = 1;
    } else if (Equals(a, "verbose")) {
        verbose = 1;
    } else if (Equals(a, "sysprep")) {
        sysprep = 1;
    } else if (Equals(a, "autoinstall")) {
        autoinstall = 1;
    } else if (Equals(a, "quiet")) {
        quiet = 1;
    } else if (Equals(a, "d!")) {
        debug = 1;
    } else if (StartsWith(a, "log")) {
        logGiven = 1;
        logFile = After(a, 4);  // the length of "log:"
    } else if (StartsWith(a, "data:")) {
        dataGiven = 1;
        dataFile = After(a, 5);
    } else if (StartsWith(a, "start")) {
        start = 1;
    } else if (StartsWith(a, "deletenow:")) {
        deleteNow = 1;
        std::string path = After(a, 10);
        size_t first = path.find_first_not_of('"');
        size_t last = path.find_last_not_of('"');
        deleteNowPath = first == std::string::npos ? "" : path.substr(first, last - first + 1);
    } else {
        invalid = 1;
        invalidText = a;
    }
}

int CommandLineOptions::ValidateOptions() const {
    char message[1600];
    if (invalid) {
        snprintf(message, sizeof message, "Invalid command line option!  Command line option: %s.",
                 invalidText.c_str());
        return Refuse(message, MB_ICONWARNING);
    }
    if (remove && install)
        return Refuse("Error: Conflicting Parameters:\n\n'-remove' cannot be combined with '-install'", MB_ICONWARNING);
    if (remove && start)
        return Refuse("Error: Conflicting Parameters:\n\n'remove' cannot be combined with '-start'", MB_ICONWARNING);
    if (dataGiven) {
        if (dataFile.empty()) return Refuse("Error: Datafile name omitted from command line option", MB_ICONWARNING);
        if (ReadsSyncFile(machineRole)) {
            std::string missing = MissingDataFileText(dataFile);
            if (!missing.empty()) return Refuse(missing.c_str(), MB_ICONHAND);
        } else if (machineRole != kPrimaryDomainController) {
            return Refuse(TableText(kMessageDataFileUnused).c_str(), MB_ICONHAND);
        }
    }
    if (clean && install)
        return Refuse("Error: Conflicting Parameters:\n\n'-install' option cannot be combined with '-clean'",
                      MB_ICONWARNING);
    if (clean && dataGiven)
        return Refuse("Error: Conflicting Parameters:\n\n'-data' option cannot be combined with '-clean'",
                      MB_ICONWARNING);
    if (sysprep && start)
        return Refuse("Error: Conflicting Parameters:\n\n'-sysprep' option cannot be combined with '-start'",
                      MB_ICONWARNING);
    if (dataGiven && IsUnc(dataFile)) return Refuse(TableText(kMessageDataFileUnc).c_str(), MB_ICONHAND);
    if (logGiven && IsUnc(logFile)) return Refuse(TableText(kMessageLogFileUnc).c_str(), MB_ICONHAND);

    // The new name fills a 16-character field; a longer one is refused rather than cut.
    if (nameGiven && name.size() > kMaxComputerName) {
        snprintf(message, sizeof message,
                 "Error: The computer name '%.64s' is too long.\n\nA computer name can have at most 15 characters.",
                 name.c_str());
        return Refuse(message, MB_ICONWARNING);
    }
    // By the rules of this machine's Windows version, as stage 3's call will judge it.
    if (nameGiven && !name.empty() && !CheckComputerName(name.c_str(), nullptr, 0)) {
        snprintf(message, sizeof message,
                 "Error: The computer name '%.64s' contains characters that a computer name cannot hold.",
                 name.c_str());
        return Refuse(message, MB_ICONWARNING);
    }
    // The paths go into fixed buffers of MAX_PATH characters.
    const std::string* paths[3] = {&dataFile, &logFile, &deleteNowPath};
    for (const std::string* path : paths)
        if (path->size() >= MAX_PATH) {
            snprintf(message, sizeof message,
                     "Error: The path '%.80s...' is too long.\n\nA path can have at most %d characters.",
                     path->c_str(), MAX_PATH - 1);
            return Refuse(message, MB_ICONWARNING);
        }
    // Files the job will write: their folders must exist or be possible to make.
    std::string missing = logGiven && !logFile.empty() ? MissingFolderText(logFile) : "";
    if (missing.empty() && dataGiven && machineRole == kPrimaryDomainController) missing = MissingFolderText(dataFile);
    if (!missing.empty()) return Refuse(missing.c_str(), MB_ICONHAND);
    return 1;
}

std::string MissingDataFileText(const std::string& path) {
    FILE* file = fopen(path.c_str(), "r");
    if (file) {
        fclose(file);
        return "";
    }
    char message[1600];
    std::string format = TableText(kMessageDataFileMissing);
    // The table's text has one %s for the file name; anything else is shown as it is.
    const char* s = strstr(format.c_str(), "%s");
    if (s && !strchr(s + 2, '%') && format.find('%') == (size_t)(s - format.c_str()))
        snprintf(message, sizeof message, "%.*s%.*s%s", (int)(s - format.c_str()), format.c_str(), MAX_PATH,
                 path.c_str(), s + 2);
    else
        snprintf(message, sizeof message, "%s", format.c_str());
    return message;
}

std::string MissingFolderText(const std::string& path) {
    size_t slash = path.find_last_of("\\/");
    // A bare name lands in the current folder, which exists.
    if (slash == std::string::npos) return "";
    std::string folder = path.substr(0, slash + 1);
    if (folder.size() > 1 && !(folder.size() == 3 && folder[1] == ':')) folder.pop_back();  // not "C:\\" or "\\"
    // The writers make the folders on the way (CreatePathDirectories), so a folder that does
    // not exist yet will do when the nearest one of its parents that exists is a folder; a
    // file in the way, or a drive that is not there, cannot be got round.
    std::string probe = folder;
    for (;;) {
        DWORD attributes = GetFileAttributesA(probe.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (attributes & FILE_ATTRIBUTE_DIRECTORY) return "";
            break;
        }
        size_t up = probe.find_last_of("\\/");
        if (up == std::string::npos) return "";  // below the current folder, which exists
        // A drive's root keeps its backslash ("C:\\", "\\").
        std::string parent = probe.substr(0, up == 0 || (up == 2 && probe[1] == ':') ? up + 1 : up);
        if (parent.empty() || parent == probe) break;
        probe = parent;
    }
    char message[1600];
    snprintf(message, sizeof message,
             "Error: The folder '%.*s' does not exist.\n\nPlease specify a file in an existing folder.", MAX_PATH,
             folder.c_str());
    return message;
}
