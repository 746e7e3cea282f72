// ntsim sid DIR: prints the machine SID as the machine's policy holds it (PolAcDmS).
#include <cstdio>

#include "command.h"
#include "ntsim/kernel/conf.h"
#include "ntsim/registry/hive.h"
#include "ntsim/registry/regf.h"

static int Sid(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        fprintf(stderr, "usage: ntsim sid DIR\n");
        return 2;
    }
    ntsim::Conf conf;
    std::string error;
    if (!ntsim::ConfLoad(args[0] + "/machine.conf", &conf, &error)) {
        fprintf(stderr, "ntsim sid: %s\n", error.c_str());
        return 1;
    }
    // The system root is C:\<folder>; the C: drive's host folder is in machine.conf.
    const ntsim::ConfSection* machine = conf.Find("machine");
    const ntsim::ConfSection* drive = conf.Find("drive", "C");
    std::string root = machine ? machine->Get("systemroot", "C:\\WINNT") : "C:\\WINNT";
    std::string base = drive ? drive->Get("path", "drives/c") : "drives/c";
    if (base.empty() || base[0] != '/') base = args[0] + "/" + base;
    std::string folder = root.size() > 3 ? root.substr(3) : "";
    for (char& c : folder)
        if (c == '\\') c = '/';
    std::string path = base + "/" + folder + "/system32/config/SECURITY";
    ntsim::Hive hive;
    uint32_t rc = ntsim::RegfLoadFile(path, &hive);
    if (rc != 0) {
        fprintf(stderr, "ntsim sid: cannot read %s (error %u)\n", path.c_str(), rc);
        return 1;
    }
    ntsim::HiveKey* policy = hive.root->FindSubkey("Policy");
    ntsim::HiveKey* key = policy ? policy->FindSubkey("PolAcDmS") : nullptr;
    const ntsim::HiveValue* value = key ? key->FindValue("") : nullptr;
    if (!value || value->data.size() < 8 || value->data.size() != 8 + 4 * (size_t)value->data[1]) {
        fprintf(stderr, "ntsim sid: %s holds no valid PolAcDmS\n", path.c_str());
        return 1;
    }
    const auto& d = value->data;
    printf("S-%u-%u", d[0], d[7]);
    for (size_t i = 8; i + 4 <= d.size(); i += 4) printf("-%u", d[i] | d[i + 1] << 8 | d[i + 2] << 16 | (unsigned)d[i + 3] << 24);
    printf("\n");
    return 0;
}

NTSIM_COMMAND(g_sid, "sid", "sid DIR                      print the machine SID", Sid);
