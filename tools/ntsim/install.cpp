// ntsim install DIR HOSTFILE WINPATH: copies a host program into the machine at a Windows
// path, where CreateProcessA, the service control manager and "ntsim run" can start it.
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

#include "command.h"
#include "ntsim/kernel/paths.h"
#include "ntsim/kernel/process.h"

static int Install(const std::vector<std::string>& args) {
    if (args.size() != 3) {
        fprintf(stderr, "usage: ntsim install DIR HOSTFILE WINPATH\n");
        return 2;
    }
    std::string error;
    if (!ntsim::ProcessAttach(args[0], "SYSTEM", false, &error)) {
        fprintf(stderr, "ntsim install: %s\n", error.c_str());
        return 1;
    }
    std::string host;
    uint32_t err = ntsim::MapWindowsPath(ntsim::FullWindowsPath(args[2]), &host);
    ntsim::ProcessDetach();
    if (err != 0) {
        fprintf(stderr, "ntsim install: %s is not a path of the machine (error %u)\n", args[2].c_str(), err);
        return 1;
    }
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(host).parent_path(), ec);
    std::filesystem::copy_file(args[1], host, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) {
        fprintf(stderr, "ntsim install: copying %s to %s: %s\n", args[1].c_str(), host.c_str(), ec.message().c_str());
        return 1;
    }
    chmod(host.c_str(), 0755);
    printf("installed %s as %s\n", args[1].c_str(), args[2].c_str());
    return 0;
}

NTSIM_COMMAND(g_install, "install", "install DIR HOSTFILE WINPATH     copy a host program into the machine", Install);
