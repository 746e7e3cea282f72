// Fuzz target for security descriptor, ACL and SID parsing: whatever the bytes, the
// parsers stay inside them, and what they accept survives a rebuild unchanged in meaning.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "nt/win32.h"
#include "ntsim/security/access.h"
#include "ntsim/security/sd.h"

using namespace ntsim;

static const GENERIC_MAPPING kMapping = {0x20019, 0x20006, 0x20019, 0xF003F};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy, so that any read past the input is caught.
    std::vector<uint8_t> bytes(data, data + size);
    const uint8_t* p = bytes.data();

    // As a SID and as an ACL on their own.
    if (size_t n = SidCheck(p, size)) {
        if (!IsValidSid((PSID)p) && size >= SECURITY_MAX_SID_SIZE) abort();
        (void)SidToText(p, n);
    }
    if (AclCheck(p, size)) {
        std::vector<AceEntry> aces;
        if (!AclParse(p, size, &aces)) abort();
        std::vector<uint8_t> again = AclBuild(aces, p[0]);
        if (!AclCheck(again.data(), again.size())) abort();
        if (((const ACL*)p)->AclSize <= size && !IsValidAcl((PACL)p)) abort();
    }

    // As a self-relative descriptor: parse, check access, inherit, rebuild.
    SdView view;
    if (SdParseRelative(p, size, &view) != ERROR_SUCCESS) return 0;
    std::vector<uint8_t> rebuilt = SdBuild(view);
    SdView second;
    if (SdParseRelative(rebuilt.data(), rebuilt.size(), &second) != ERROR_SUCCESS) abort();
    if ((view.owner != nullptr) != (second.owner != nullptr) || (view.dacl != nullptr) != (second.dacl != nullptr)) abort();
    if (view.dacl && memcmp(view.dacl, second.dacl, view.daclLen) != 0) abort();
    uint32_t granted = 0;
    (void)AccessCheck(p, size, MAXIMUM_ALLOWED, kMapping, &granted);
    (void)AccessCheck(p, size, GENERIC_READ | WRITE_DAC, kMapping, &granted);
    Token token;
    token.user = SidLocalSystem();
    token.owner = SidBuiltin(544);
    token.primaryGroup = SidLocalSystem();
    std::vector<uint8_t> child = InheritDescriptor(p, size, size & 1, token, (size & 2) ? &kMapping : nullptr);
    if (SdParseRelative(child.data(), child.size(), &second) != ERROR_SUCCESS) abort();
    return 0;
}
