// ntsim census DIR SID [--list]: every occurrence of a SID in the machine, by place;
// exit status 0 only when there is none.
// ntsim census --image ROOT [--json]: the read-only census of a Windows system volume.
// ntsim census --fleet ROOT... [--json]: the machine SID of each image and which share one.
#include <cstdio>

#include "command.h"
#include "ntsim/machine/census.h"
#include "ntsim/machine/census_image.h"

namespace {

std::string Json(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

std::string JsonList(const std::vector<std::string>& items, const char* indent) {
    if (items.empty()) return "[]";
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? ",\n" : "\n") + std::string(indent) + "  " + Json(items[i]);
    return out + "\n" + indent + "]";
}

void PrintImageJson(const ntsim::ImageCensus& c) {
    const ntsim::ImageIdentity& id = c.identity;
    printf("{\n  \"image\": %s,\n  \"systemRoot\": %s,\n  \"computerName\": %s,\n", Json(id.root).c_str(),
           Json(id.systemRoot).c_str(), Json(id.computerName).c_str());
    printf("  \"machineSid\": %s,\n  \"samSid\": %s,\n  \"policySid\": %s,\n  \"machineAccountSid\": %s,\n  \"sidsAgree\": %s,\n",
           Json(id.machineSid).c_str(), Json(id.samSid).c_str(), Json(id.policySid).c_str(), Json(id.machineAccountSid).c_str(),
           id.SidsDisagree() ? "false" : "true");
    printf("  \"hives\": [");
    for (size_t i = 0; i < c.hives.size(); ++i) {
        const ntsim::ImageHive& h = c.hives[i];
        printf("%s\n    {\"file\": %s, \"kind\": \"%s\", \"account\": %s, \"state\": \"%s\", \"problem\": %s,\n", i ? "," : "",
               Json(h.file).c_str(), ntsim::ImageHiveKindName(h.kind), Json(h.account).c_str(), ntsim::ImageHiveStateName(h.state),
               Json(h.problem).c_str());
        printf("     \"keyNames\": %d, \"valueNames\": %d, \"stringData\": %d, \"binaryData\": %d, \"keySecurity\": %d, "
               "\"classNames\": %d, \"total\": %d}",
               h.keyNames, h.valueNames, h.stringData, h.binaryData, h.keySecurity, h.classNames, h.Total());
    }
    printf("%s],\n", c.hives.empty() ? "" : "\n  ");
    printf("  \"descriptors\": {\"found\": %s, \"read\": %d, \"occurrences\": %d, \"files\": %s},\n",
           c.descriptorsFound ? "true" : "false", c.descriptorsRead, c.descriptorOccurrences, JsonList(c.descriptorFiles, "  ").c_str());
    printf("  \"names\": %s,\n", JsonList(c.names, "  ").c_str());
    printf("  \"problems\": %s,\n", JsonList(id.problems, "  ").c_str());
    printf("  \"entriesWalked\": %d,\n  \"total\": %d\n}\n", c.entriesWalked, c.Total());
}

void PrintImageTable(const ntsim::ImageCensus& c) {
    const ntsim::ImageIdentity& id = c.identity;
    printf("image:         %s\n", id.root.c_str());
    printf("system root:   %s\n", id.systemRoot.c_str());
    printf("computer name: %s\n", id.computerName.empty() ? "(unknown)" : id.computerName.c_str());
    printf("machine SID:   %s\n", id.machineSid.c_str());
    printf("  SAM (Domains\\Account\\V):   %s\n", id.samSid.empty() ? "(none)" : id.samSid.c_str());
    printf("  policy (PolAcDmS):          %s%s\n", id.policySid.empty() ? "(none)" : id.policySid.c_str(),
           id.SidsDisagree() ? "   DISAGREES with the SAM" : "");
    if (!id.machineAccountSid.empty()) printf("  domain account (PolMachineAccountS): %s\n", id.machineAccountSid.c_str());
    printf("\nhives:\n  %-8s %-10s %9s %11s %7s %6s %8s %7s  %s\n", "kind", "state", "key names", "value names", "strings",
           "binary", "security", "classes", "file");
    for (const ntsim::ImageHive& h : c.hives) {
        printf("  %-8s %-10s %9d %11d %7d %6d %8d %7d  %s", ntsim::ImageHiveKindName(h.kind), ntsim::ImageHiveStateName(h.state),
               h.keyNames, h.valueNames, h.stringData, h.binaryData, h.keySecurity, h.classNames, h.file.c_str());
        if (!h.account.empty()) printf(" [%s]", h.account.c_str());
        printf("\n");
    }
    if (c.descriptorsFound)
        printf("\ndescriptors: %d read, %zu name the machine SID (%d times)\n", c.descriptorsRead, c.descriptorFiles.size(),
               c.descriptorOccurrences);
    else
        printf("\ndescriptors: none found (no system.ntfs_acl: a plain copy of the volume, not an ntfs-3g mount)\n");
    // A volume's user profiles may hold many thousands: the table shows the first, the JSON all.
    const size_t shown = 20;
    for (size_t i = 0; i < c.descriptorFiles.size() && i < shown; ++i) printf("  %s\n", c.descriptorFiles[i].c_str());
    if (c.descriptorFiles.size() > shown) printf("  ... and %zu more (--json lists them all)\n", c.descriptorFiles.size() - shown);
    printf("\nnames holding the machine SID: %zu\n", c.names.size());
    for (const std::string& n : c.names) printf("  %s\n", n.c_str());
    if (!id.problems.empty()) {
        printf("\nproblems:\n");
        for (const std::string& p : id.problems) printf("  %s\n", p.c_str());
    }
    printf("\n%d files and folders walked; %d occurrences of the machine SID\n", c.entriesWalked, c.Total());
}

// Exit status: 0 the census is whole, 1 it is made but a hive could not be read or the SIDs disagree, 2 none made.
int ImageCensusCommand(const std::string& root, bool json) {
    ntsim::ImageCensus census;
    std::string error;
    if (!ntsim::CensusImage(root, &census, &error)) {
        fprintf(stderr, "ntsim census: %s\n", error.c_str());
        return 2;
    }
    if (json)
        PrintImageJson(census);
    else
        PrintImageTable(census);
    for (const std::string& p : census.identity.problems) fprintf(stderr, "ntsim census: %s\n", p.c_str());
    return census.identity.problems.empty() ? 0 : 1;
}

// Exit status: 1 when two images share a machine SID; else 2 when an image gave none; else 0.
int FleetCommand(const std::vector<std::string>& roots, bool json) {
    std::vector<ntsim::ImageIdentity> ids(roots.size());
    std::vector<std::string> errors(roots.size());
    bool failed = false;
    for (size_t i = 0; i < roots.size(); ++i) {
        if (!ntsim::IdentifyImage(roots[i], &ids[i], &errors[i])) {
            failed = true;
            ids[i].root = roots[i];
            fprintf(stderr, "ntsim census: %s: %s\n", roots[i].c_str(), errors[i].c_str());
        }
    }
    std::vector<std::vector<size_t>> groups = ntsim::SharedMachineSids(ids);
    if (json) {
        printf("{\n  \"images\": [");
        for (size_t i = 0; i < ids.size(); ++i)
            printf("%s\n    {\"image\": %s, \"systemRoot\": %s, \"computerName\": %s, \"machineSid\": %s, \"error\": %s, "
                   "\"problems\": %s}",
                   i ? "," : "", Json(ids[i].root).c_str(), Json(ids[i].systemRoot).c_str(), Json(ids[i].computerName).c_str(),
                   Json(ids[i].machineSid).c_str(), Json(errors[i]).c_str(), JsonList(ids[i].problems, "    ").c_str());
        printf("%s],\n  \"shared\": [", ids.empty() ? "" : "\n  ");
        for (size_t g = 0; g < groups.size(); ++g) {
            std::vector<std::string> members;
            for (size_t i : groups[g]) members.push_back(ids[i].root);
            printf("%s\n    {\"machineSid\": %s, \"images\": %s}", g ? "," : "", Json(ids[groups[g][0]].machineSid).c_str(),
                   JsonList(members, "    ").c_str());
        }
        printf("%s]\n}\n", groups.empty() ? "" : "\n  ");
    } else {
        printf("%-44s %-16s %s\n", "image", "computer name", "machine SID");
        for (size_t i = 0; i < ids.size(); ++i) {
            printf("%-44s %-16s %s\n", ids[i].root.c_str(), ids[i].computerName.empty() ? "-" : ids[i].computerName.c_str(),
                   ids[i].machineSid.empty() ? ("(" + errors[i] + ")").c_str() : ids[i].machineSid.c_str());
            for (const std::string& p : ids[i].problems) printf("    %s\n", p.c_str());
        }
        if (groups.empty()) printf("\nno two images share a machine SID\n");
        for (const auto& g : groups) {
            printf("\nshared machine SID %s (%zu images):\n", ids[g[0]].machineSid.c_str(), g.size());
            for (size_t i : g) printf("  %s\n", ids[i].root.c_str());
        }
    }
    if (!groups.empty()) return 1;
    return failed ? 2 : 0;
}

}  // namespace

static int CensusCommand(const std::vector<std::string>& args) {
    std::vector<std::string> plain;
    bool list = false, json = false, image = false, fleet = false;
    for (const std::string& a : args) {
        if (a == "--list")
            list = true;
        else if (a == "--json")
            json = true;
        else if (a == "--image")
            image = true;
        else if (a == "--fleet")
            fleet = true;
        else
            plain.push_back(a);
    }
    if (image && !fleet && !list && plain.size() == 1) return ImageCensusCommand(plain[0], json);
    if (fleet && !image && !list && !plain.empty()) return FleetCommand(plain, json);
    if (image || fleet || json) {
        fprintf(stderr, "usage: ntsim census --image ROOT [--json] | ntsim census --fleet ROOT... [--json]\n");
        return 2;
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

NTSIM_COMMAND(g_census, "census",
              "census DIR SID [--list]      count every occurrence of SID by place (0 = none)\n"
              "  ntsim census --image ROOT [--json]   where a Windows volume's machine SID lives (read only)\n"
              "  ntsim census --fleet ROOT... [--json]  the machine SIDs of images and which share one (1 = some do)",
              CensusCommand);
