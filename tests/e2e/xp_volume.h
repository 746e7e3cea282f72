// A Windows XP system volume laid out for the offline job: the real hives of an XP
// computer (tests/data/xp-hives: SAM, SECURITY, SYSTEM and Pat's NTUSER.DAT), the XP
// preset's SOFTWARE and DEFAULT made for the same machine SID (the set has none) and moved
// to XP's places (C:\WINDOWS, "Documents and Settings"), and thousands of files whose
// descriptors name the machine's accounts. Written into any folder: a mounted NTFS volume
// (descriptors in system.ntfs_acl) or a plain one (user.ntsim.sd).
#pragma once
#include <sys/xattr.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "ntsim/machine/machine.h"
#include "ntsim/registry/hive.h"
#include "ntsim/registry/regf.h"
#include "ntsim/security/sd.h"

namespace e2e {

const char* const kXpSid = "S-1-5-21-1292428093-1645522239-1547161642";  // the real SAM's machine SID
const uint32_t kPatRid = 1003;

inline ntsim::HiveValue TextValue(const std::string& name, uint32_t type, const std::string& text) {
    ntsim::HiveValue v;
    v.name = name;
    v.type = type;
    for (uint16_t u : ntsim::Utf8ToUtf16(text)) v.data.push_back((uint8_t)u), v.data.push_back((uint8_t)(u >> 8));
    v.data.push_back(0), v.data.push_back(0);
    return v;
}

inline void SetValue(ntsim::HiveKey* key, const ntsim::HiveValue& value) {
    if (ntsim::HiveValue* old = key->FindValue(value.name))
        *old = value;
    else
        key->values.push_back(value);
}

// A descriptor: owner, group None of the machine, and a DACL granting the owner, SYSTEM and
// Administrators full control and, for every other account given, read. Protected, as XP
// protects a profile's folder: nothing above is inherited, so that a descriptor written
// back through SetNamedSecurityInfoA reads the same (which marks it auto-inherited, as NTFS
// descriptors on XP are).
inline std::vector<uint8_t> AccountDescriptor(const ntsim::SidBytes& owner, const ntsim::SidBytes& machine,
                                              const std::vector<ntsim::SidBytes>& readers) {
    std::vector<ntsim::AceEntry> aces;
    auto add = [&](const ntsim::SidBytes& sid, uint32_t mask) {
        ntsim::AceEntry e;
        e.mask = mask;
        e.sid = sid;
        aces.push_back(e);
    };
    add(owner, 0x1F01FF);
    add(ntsim::SidLocalSystem(), 0x1F01FF);
    add(ntsim::SidBuiltin(544), 0x1F01FF);
    for (const ntsim::SidBytes& r : readers) add(r, 0x120089);
    std::vector<uint8_t> dacl = ntsim::AclBuild(aces);
    ntsim::SidBytes group = ntsim::SidAppend(machine, 513);
    return ntsim::SdBuild(SE_DACL_PRESENT | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED, owner.data(), group.data(), nullptr, dacl.data());
}

// Lays the volume out in root (which exists). scratch: a folder for the preset machine.
// files: how many data files. False with *error.
inline bool MakeXpVolume(const std::string& root, const std::string& scratch, int files, bool ntfs, std::string* error) {
    namespace fs = std::filesystem;
    const std::string data = std::string(TESSIV_SOURCE_DIR) + "/tests/data/xp-hives/";
    ntsim::MachineOptions options;
    options.preset = "xp-standalone";
    options.sid = kXpSid;
    options.name = "M57-PAT";
    options.files = false;
    std::string preset = scratch + "/xp-preset";
    if (!ntsim::MachineCreate(preset, options, error)) return false;
    const std::string winnt = preset + "/drives/c/WINNT/";
    const std::string config = root + "/WINDOWS/system32/config/";
    const std::string profiles = root + "/Documents and Settings/";
    std::error_code ec;
    for (const std::string& d : {config, root + "/WINDOWS/Temp", profiles + "Administrator", profiles + "Pat",
                                 profiles + "Default User", profiles + "LocalService"})
        fs::create_directories(d, ec);
    // As on XP, SAM and SECURITY are in capitals, the others not.
    fs::copy_file(data + "SAM", config + "SAM", ec);
    if (!ec) fs::copy_file(data + "SECURITY", config + "SECURITY", ec);
    if (!ec) fs::copy_file(data + "SYSTEM", config + "system", ec);
    if (!ec) fs::copy_file(winnt + "system32/config/DEFAULT", config + "default", ec);
    if (!ec) fs::copy_file(data + "NTUSER.DAT", profiles + "Pat/NTUSER.DAT", ec);
    if (!ec) fs::copy_file(winnt + "Profiles/Administrator/ntuser.dat", profiles + "Administrator/NTUSER.DAT", ec);
    if (!ec) fs::copy_file(winnt + "Profiles/Default User/ntuser.dat", profiles + "Default User/NTUSER.DAT", ec);
    if (!ec) fs::copy_file(winnt + "Profiles/LocalService/ntuser.dat", profiles + "LocalService/NTUSER.DAT", ec);
    if (ec) {
        *error = "laying out the hives: " + ec.message();
        return false;
    }
    for (const fs::path& p : {fs::path(config + "SAM"), fs::path(config + "SECURITY"), fs::path(config + "system")})
        fs::permissions(p, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read, ec);

    // SOFTWARE: XP's system root and profile folders; Pat's profile listed.
    ntsim::Hive software;
    if (ntsim::RegfLoadFile(winnt + "system32/config/SOFTWARE", &software) != 0) {
        *error = "cannot read the preset's SOFTWARE";
        return false;
    }
    ntsim::HiveKey* cv = software.root->FindSubkey("Microsoft")->FindSubkey("Windows NT")->FindSubkey("CurrentVersion");
    SetValue(cv, TextValue("SystemRoot", REG_SZ, "C:\\WINDOWS"));
    ntsim::HiveKey* list = cv->FindSubkey("ProfileList");
    SetValue(list, TextValue("ProfilesDirectory", REG_EXPAND_SZ, "%SystemDrive%\\Documents and Settings"));
    ntsim::SidBytes machine;
    ntsim::SidFromText(kXpSid, &machine);
    ntsim::SidBytes pat = ntsim::SidAppend(machine, kPatRid), admin = ntsim::SidAppend(machine, 500);
    ntsim::HiveKey* patKey = list->AddSubkey(ntsim::SidToText(pat));
    patKey->security = list->security;
    ntsim::HiveValue sidValue;
    sidValue.name = "Sid";
    sidValue.type = REG_BINARY;
    sidValue.data = pat;
    patKey->values.push_back(sidValue);
    for (const auto& child : list->subkeys) {
        ntsim::HiveValue* path = child->FindValue("ProfileImagePath");
        std::string user = child.get() == patKey ? "Pat" : "";
        if (path) {
            std::string text;
            for (size_t i = 0; i + 1 < path->data.size(); i += 2)
                if (path->data[i] || path->data[i + 1]) text += (char)path->data[i];
            size_t slash = text.rfind('\\');
            if (text.find("\\Profiles\\") != std::string::npos) user = text.substr(slash + 1);
        }
        if (!user.empty())
            SetValue(child.get(), TextValue("ProfileImagePath", REG_EXPAND_SZ, "%SystemDrive%\\Documents and Settings\\" + user));
    }
    ntsim::RegfSetFileName(&software, "\\SystemRoot\\System32\\Config\\SOFTWARE");
    if (ntsim::RegfSaveFile(software, config + "software") != 0) {
        *error = "cannot write SOFTWARE";
        return false;
    }

    // The files: folders and documents of Pat and of Administrator, and program files, each
    // with a descriptor that names the machine's accounts.
    const char* attribute = ntfs ? "system.ntfs_acl" : "user.ntsim.sd";
    std::vector<uint8_t> patSd = AccountDescriptor(pat, machine, {admin});
    std::vector<uint8_t> adminSd = AccountDescriptor(admin, machine, {pat});
    std::vector<uint8_t> systemSd = AccountDescriptor(ntsim::SidBuiltin(544), machine, {pat, admin});
    auto secure = [&](const std::string& path, const std::vector<uint8_t>& sd) {
        if (setxattr(path.c_str(), attribute, sd.data(), sd.size(), 0) != 0) {
            *error = "cannot store the descriptor of " + path;
            return false;
        }
        return true;
    };
    if (!secure(profiles + "Pat", patSd) || !secure(profiles + "Administrator", adminSd)) return false;
    for (int i = 0; i < files; ++i) {
        int kind = i % 3;
        char folder[64], name[32];
        snprintf(folder, sizeof folder, kind == 0 ? "Pat/My Documents/Folder%02d" : kind == 1 ? "Administrator/Desktop/Folder%02d"
                                                                                                : "../Program Files/App%02d",
                 i / 3 % 40);
        snprintf(name, sizeof name, "/file%05d.txt", i);
        std::string dir = profiles + folder;
        if (!fs::exists(dir)) {
            // Its folder too ("My Documents", "Desktop", "Program Files") gets a descriptor as
            // XP writes it, not the one ntfs-3g gives a new folder: a descriptor set above it
            // recomputes what it inherits.
            fs::create_directories(dir, ec);
            const std::vector<uint8_t>& sd = kind == 0 ? patSd : kind == 1 ? adminSd : systemSd;
            if (ec || !secure(fs::path(dir).parent_path(), sd) || !secure(dir, sd)) {
                if (error->empty()) *error = "cannot create " + dir;
                return false;
            }
        }
        std::string file = dir + name;
        if (FILE* f = fopen(file.c_str(), "wb")) {
            fprintf(f, "document %d\r\n", i);
            fclose(f);
        } else {
            *error = "cannot write " + file;
            return false;
        }
        if (!secure(file, kind == 0 ? patSd : kind == 1 ? adminSd : systemSd)) return false;
    }
    fs::remove_all(preset, ec);
    return true;
}

}  // namespace e2e
