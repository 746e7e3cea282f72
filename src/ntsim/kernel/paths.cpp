// Windows-to-host path mapping for the simulated machine's drives.
#include "ntsim/kernel/paths.h"

#include <ctype.h>
#include <errno.h>
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <mutex>
#include <vector>

#include "nt/win32.h"
#include "ntsim/kernel/process.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {

namespace {
ntsim::SimMutex g_cwdMutex;
std::string g_cwd;  // empty = the default for the process
}  // namespace

bool DriveLookup(char letter, DriveInfo* drive) {
    if (!ProcessAttached()) return false;
    const Process& p = CurrentProcess();
    for (const ConfSection* s : p.conf.All("drive")) {
        if (s->name.size() != 1 || toupper((unsigned char)s->name[0]) != toupper((unsigned char)letter)) continue;
        drive->letter = (char)toupper((unsigned char)letter);
        std::string root = s->Get("path");
        drive->hostRoot = !root.empty() && root[0] == '/' ? root : p.machineDir + "/" + root;
        drive->type = s->Get("type", "fixed");
        drive->fs = s->Get("fs", "NTFS");
        drive->ready = strcasecmp(s->Get("ready", "yes").c_str(), "no") != 0;
        drive->label = s->Get("label", "");
        drive->serial = (uint32_t)strtoul(s->Get("serial", "0").c_str(), nullptr, 0);
        return true;
    }
    return false;
}

std::string CurrentDirectory() {
    std::lock_guard<ntsim::SimMutex> lock(g_cwdMutex);
    if (!g_cwd.empty()) return g_cwd;
    // A process starts in the folder of its program, or the system drive's root.
    if (ProcessAttached()) {
        const std::string& image = CurrentProcess().imagePath;
        size_t slash = image.find_last_of('\\');
        if (slash != std::string::npos && image.size() > 2 && image[1] == ':') return slash == 2 ? image.substr(0, 3) : image.substr(0, slash);
        std::string root = ProcessGetEnv("SystemDrive");
        if (!root.empty()) return root + "\\";
    }
    return "C:\\";
}

void SetCurrentDirectoryPath(const std::string& fullPath) {
    std::lock_guard<ntsim::SimMutex> lock(g_cwdMutex);
    g_cwd = fullPath;
}

std::string FullWindowsPath(const std::string& input) {
    std::string path = input;
    for (char& c : path)
        if (c == '/') c = '\\';
    std::string cwd = CurrentDirectory();
    std::string full;
    if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\')
        return path;  // UNC: left as it is
    if (path.size() >= 2 && path[1] == ':') {
        if (path.size() == 2 || path[2] != '\\') {
            // "C:x" is relative to that drive's current directory; only one is kept here.
            std::string rest = path.substr(2);
            full = (toupper((unsigned char)cwd[0]) == toupper((unsigned char)path[0]) ? cwd : path.substr(0, 2) + "\\");
            if (!rest.empty()) full += (full.back() == '\\' ? "" : "\\") + rest;
        } else {
            full = path;
        }
    } else if (!path.empty() && path[0] == '\\') {
        full = cwd.substr(0, 2) + path;
    } else {
        full = cwd + (cwd.back() == '\\' ? "" : "\\") + path;
    }
    // Resolve "." and ".." and doubled separators; keep a trailing backslash if one was given.
    bool trailing = full.size() > 3 && full.back() == '\\';
    std::vector<std::string> parts;
    size_t i = 3;
    while (i <= full.size()) {
        size_t next = full.find('\\', i);
        if (next == std::string::npos) next = full.size();
        std::string comp = full.substr(i, next - i);
        if (comp == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!comp.empty() && comp != ".") {
            parts.push_back(comp);
        }
        i = next + 1;
    }
    std::string out = full.substr(0, 2) + "\\";
    out[0] = (char)toupper((unsigned char)out[0]);
    for (size_t k = 0; k < parts.size(); ++k) out += (k ? "\\" : "") + parts[k];
    if (trailing && !parts.empty()) out += "\\";
    return out;
}

uint32_t MapWindowsPath(const std::string& path, std::string* hostPath, struct stat* seen) {
    if (seen) seen->st_mode = 0;
    if (path.empty()) return ERROR_INVALID_NAME;
    std::string full = FullWindowsPath(path);
    if (full.size() >= 2 && full[0] == '\\' && full[1] == '\\') return ERROR_BAD_NETPATH;
    DriveInfo drive;
    if (!DriveLookup(full[0], &drive)) return ERROR_INVALID_DRIVE;
    if (!drive.ready) return ERROR_NOT_READY;
    std::string host = drive.hostRoot;
    size_t i = 3;
    bool lastNotAsWritten = false;  // the last name is known not to be there as written
    // The common case: the path exists exactly as written, one lstat answers it. The next
    // most common, a new file: its folder exists as written, and only the last name is
    // looked for in another case.
    {
        std::string direct = drive.hostRoot + "/";
        for (size_t k = 3; k < full.size(); ++k) direct += full[k] == '\\' ? '/' : full[k];
        while (direct.size() > drive.hostRoot.size() && direct.back() == '/') direct.pop_back();
        struct stat st;
        bool plain = direct.find("/./") == std::string::npos;
        if (plain && full.find_first_of("<>|\"*?") == std::string::npos && lstat(direct.c_str(), &st) == 0) {
            *hostPath = direct;
            if (seen && !S_ISLNK(st.st_mode)) *seen = st;
            return ERROR_SUCCESS;
        }
        bool absent = errno == ENOENT;
        size_t lastName = full.find_last_of('\\');
        size_t hostSlash = direct.find_last_of('/');
        if (plain && lastName != std::string::npos && lastName >= 3 && lastName + 1 < full.size() &&
            hostSlash > drive.hostRoot.size() && full.find_first_of("<>|\"*?") >= lastName &&
            lstat(direct.substr(0, hostSlash).c_str(), &st) == 0) {
            host = direct.substr(0, hostSlash);
            i = lastName + 1;
            lastNotAsWritten = absent && full.find_first_of("<>|\"*?") == std::string::npos;
        }
    }
    bool missing = false;
    while (i < full.size()) {
        size_t next = full.find('\\', i);
        if (next == std::string::npos) next = full.size();
        std::string comp = full.substr(i, next - i);
        i = next + 1;
        if (comp.empty()) continue;
        if (comp.find_first_of("<>|\"*?") != std::string::npos && comp.find_first_of("*?") == std::string::npos)
            return ERROR_INVALID_NAME;
        std::string candidate = host + "/" + comp;
        struct stat st;
        bool last = i >= full.size();
        if (!missing && ((last && lastNotAsWritten) || lstat(candidate.c_str(), &st) != 0)) {
            // Not there as written: look for the same name in another case.
            std::string found;
            if (DIR* d = opendir(host.c_str())) {
                while (struct dirent* e = readdir(d))
                    if (strcasecmp(e->d_name, comp.c_str()) == 0) {
                        found = e->d_name;
                        break;
                    }
                closedir(d);
            }
            if (!found.empty())
                candidate = host + "/" + found;
            else
                missing = true;
        }
        host = candidate;
    }
    *hostPath = host;
    return ERROR_SUCCESS;
}

}  // namespace ntsim
