// ntsim census DIR SID [--list]: every occurrence of a SID in the machine, by place;
// exit status 0 only when there is none.
#include <cstdio>

#include "command.h"
#include "ntsim/machine/census.h"

static int CensusCommand(const std::vector<std::string>& args) {
    std::vector<std::string> plain;
    bool list = false;
    for (const std::string& a : args) {
        if (a == "--list")
            list = true;
        else
            plain.push_back(a);
    }
    if (plain.size() != 2) {
        fprintf(stderr, "usage: ntsim census DIR SID [--list]\n");
        return 2;
    }
    ntsim::CensusResult result;
    std::string error;
    if (!ntsim::Census(plain[0], plain[1], &result, &error)) {
        fprintf(stderr, "ntsim census: %s\n", error.c_str());
        return 2;
    }
    using ntsim::CensusKind;
    using ntsim::CensusPlace;
    if (list) {
        for (const ntsim::CensusHit& h : result.hits) {
            printf("%-15s %-13s %s", ntsim::CensusPlaceName(h.place), ntsim::CensusKindName(h.kind), h.file.c_str());
            if (!h.where.empty()) printf(" [%s]", h.where.c_str());
            if (h.count > 1) printf(" x%d", h.count);
            printf("\n");
        }
        printf("\n");
    }
    printf("census of %s: %d hives and %d files read\n", plain[1].c_str(), result.hivesRead, result.filesRead);
    const CensusPlace places[] = {CensusPlace::MachineHives, CensusPlace::ProfileHives, CensusPlace::HiveBackups,
                                  CensusPlace::WorkDirectory, CensusPlace::FileSecurity, CensusPlace::PlainFiles};
    const CensusKind kinds[] = {CensusKind::KeyName,     CensusKind::ValueName,  CensusKind::StringData,
                                CensusKind::ValueData,   CensusKind::KeySecurity, CensusKind::ClassName,
                                CensusKind::Descriptor,  CensusKind::FileText,   CensusKind::FileBytes};
    for (CensusPlace place : places) {
        int total = result.Count(place);
        printf("  %-15s %8d", ntsim::CensusPlaceName(place), total);
        const char* sep = "  (";
        for (CensusKind kind : kinds) {
            int n = result.Count(place, &kind);
            if (n == 0) continue;
            printf("%s%s %d", sep, ntsim::CensusKindName(kind), n);
            sep = ", ";
        }
        printf("%s\n", total ? ")" : "");
    }
    printf("  %-15s %8d\n", "total", result.total);
    for (const std::string& file : result.unreadable) fprintf(stderr, "ntsim census: %s is not a readable hive\n", file.c_str());
    return result.total == 0 && result.unreadable.empty() ? 0 : 1;
}

NTSIM_COMMAND(g_census, "census", "census DIR SID [--list]      count every occurrence of SID by place (0 = none)", CensusCommand);
