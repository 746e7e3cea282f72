// Making a machine directory: machine.conf and the drive folders. The hives of a
// fresh system are written by the registry's own code (machine_hives.cpp).
#include "ntsim/machine/machine.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstring>

#include "ntsim/kernel/conf.h"
#include "ntsim/machine/machine_files.h"
#include "ntsim/machine/machine_hives.h"
#include "ntsim/machine/machine_server.h"

namespace ntsim {

bool MakeHostDirs(const std::string& path) {
    std::string partial;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            partial = path.substr(0, i);
            if (!partial.empty() && mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
        }
    }
    return true;
}

bool MachineCreateDirectories(const std::string& dir, const MachineOptions& options, Conf* conf, std::string* error) {
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            *error = dir + " exists and is not a directory";
            return false;
        }
        if (stat((dir + "/machine.conf").c_str(), &st) == 0) {
            *error = dir + " already holds a machine";
            return false;
        }
    }
    if (!MakeHostDirs(dir + "/drives/c/WINNT/system32/config") || !MakeHostDirs(dir + "/drives/c/TEMP")) {
        *error = "cannot create " + dir + ": " + strerror(errno);
        return false;
    }
    ConfSection& m = conf->Add("machine");
    m.Set("preset", options.preset);
    m.Set("name", options.name.empty() ? "NTWKS01" : options.name);
    m.Set("systemroot", "C:\\WINNT");
    m.Set("memory", "67108864");
    ConfSection& s = conf->Add("session");
    s.Set("user", "Administrator");
    ConfSection& c = conf->Add("drive", "C");
    c.Set("path", "drives/c");
    c.Set("type", "fixed");
    c.Set("fs", "NTFS");
    return true;
}

bool MachineCreate(const std::string& dir, const MachineOptions& options, std::string* error) {
    Conf conf;
    if (!MachineCreateDirectories(dir, options, &conf, error)) return false;
    if (MachineWriteHives(dir, options, &conf, error) != 0) return false;
    if (options.files && MachineWriteFiles(dir, options, &conf, error) != 0) return false;
    if (MachineWriteServer(dir, options, &conf, error) != 0) return false;
    if (!ConfSave(dir + "/machine.conf", conf)) {
        *error = "cannot write " + dir + "/machine.conf";
        return false;
    }
    return true;
}

}  // namespace ntsim
