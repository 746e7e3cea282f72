// ReestablishDomainTrust and its steps. Every answer from the network is treated as
// untrusted: texts are read only up to the length they may have, a domain SID must
// have the domain SID's form, and a malformed answer is refused with a log line.
#include "identity/domain_trust.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/job_settings.h"
#include "core/output.h"
#include "identity/role_checks.h"

namespace {

const int kLocalNameChars = 63;    // the local machine name's buffer holds 63 characters
const int kDomainNameChars = 127;  // the primary domain name's buffer, 127
const int kControllerChars = 2 + MAX_COMPUTERNAME_LENGTH;  // "\\" and a computer name
const DWORD kJoinOptions = 0x61;   // join, even if joined, unsecured to a pre-created account
const NTSTATUS kStatusSuccess = 0;
const NTSTATUS kObjectNameCollision = (NTSTATUS)0xC0000035L;  // the object exists already

void Log(const char* text) { LogLine(text, logStream); }

void LogNumber(const char* format, long number) {
    char text[160];
    snprintf(text, sizeof text, format, number);
    LogLine(text, logStream);
}

// The length of a text of at most max characters; max + 1 when no terminator comes
// within max + 1 characters. Reads no further than that.
int BoundedLength(const WCHAR* text, int max) {
    int n = 0;
    while (n <= max && text[n]) ++n;
    return n;
}

WCHAR LowerAscii(WCHAR c) { return (c >= 'A' && c <= 'Z') ? (WCHAR)(c - 'A' + 'a') : c; }
WCHAR UpperAscii(WCHAR c) { return (c >= 'a' && c <= 'z') ? (WCHAR)(c - 'a' + 'A') : c; }

// An 8-bit text as a wide one, in a buffer of size characters.
void Widen(const char* text, WCHAR* out, int size) {
    out[0] = 0;
    int n = MultiByteToWideChar(CP_ACP, 0, text, -1, out, size);
    if (n <= 0) out[0] = 0;
    out[size - 1] = 0;
}

void Narrow(const WCHAR* text, char* out, int size) {
    out[0] = 0;
    int n = WideCharToMultiByte(CP_ACP, 0, text, -1, out, size, nullptr, nullptr);
    if (n <= 0) out[0] = 0;
    out[size - 1] = 0;
}

LSA_UNICODE_STRING Counted(WCHAR* text) {
    int length = 0;
    while (text[length]) ++length;
    LSA_UNICODE_STRING s;
    s.Length = (USHORT)(length * 2);
    s.MaximumLength = (USHORT)(length * 2 + 2);
    s.Buffer = text;
    return s;
}

// The primary domain with or without a SID, through the all-access policy.
NTSTATUS SetPrimaryDomain(LSA_HANDLE policy, WCHAR* name, PSID sid) {
    POLICY_PRIMARY_DOMAIN_INFO info;
    info.Name = Counted(name);
    info.Sid = sid;
    return LsaSetInformationPolicy(policy, PolicyPrimaryDomainInformation, &info);
}

// Fails SetDomainTrust with a reported message.
BOOL Fail(const char* text) {
    ReportError(text, logStream);
    return FALSE;
}

// After a failed join: the first time the computer goes to the workgroup "WORKGROUP"
// and the marker says so; a marker left by an earlier fallback turns this into a refusal.
void WorkgroupFallback(SystemFunctions* functions, LSA_HANDLE policy) {
    char path[64];
    snprintf(path, sizeof path, "Software\\%s", kProgramKeyPath);
    char marker[16];
    BOOL again = FALSE;
    {
        RegistryKey key(HKEY_LOCAL_MACHINE, path);
        if (key.OpenForReading(0) == 0 && key.ReadString("WorkgroupBeforeDomain", marker, sizeof marker) == 0)
            again = lstrcmpiA(marker, "1") == 0;
    }
    RegistryKey key(HKEY_LOCAL_MACHINE, path);
    BOOL open = key.Open(TRUE, FALSE, 0) == 0;
    if (again) {
        if (open) key.WriteString("WorkgroupBeforeDomain", "0");
        ReportError("Error putting computer into domain", logStream);
        return;
    }
    if (open) key.WriteString("WorkgroupBeforeDomain", "1");
    if (GetOsVersionClass() == 7) functions->SetComputerNameExA(ComputerNamePhysicalDnsDomain, "");
    WCHAR workgroup[16];
    Widen("WORKGROUP", workgroup, 16);
    SetPrimaryDomain(policy, workgroup, nullptr);
}

// Finds a controller of the domain: two attempts in a row. An answer that is not a
// computer name after two backslashes counts as a failed attempt.
BOOL FindController(const WCHAR* domainName, WCHAR* controller) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        LPBYTE buffer = nullptr;
        NET_API_STATUS status = NetGetDCName(nullptr, domainName, &buffer);
        if (status != NERR_Success) continue;
        const WCHAR* name = reinterpret_cast<const WCHAR*>(buffer);
        int length = name ? BoundedLength(name, kControllerChars) : 0;
        BOOL wellFormed = length > 2 && length <= kControllerChars && name[0] == '\\' && name[1] == '\\';
        if (wellFormed) {
            memcpy(controller, name, (length + 1) * sizeof(WCHAR));
        } else {
            Log("Error: The domain controller's name in the answer is malformed or too long.");
        }
        if (buffer) NetApiBufferFree(buffer);
        if (wellFormed) return TRUE;
    }
    return FALSE;
}

}  // namespace

BOOL ConnectIpcSession(const WCHAR* controller, BOOL add) {
    if (!controller || !controller[0]) {
        SetLastError(ERROR_INVALID_COMPUTERNAME);
        return FALSE;
    }
    WCHAR remote[2 + MAX_COMPUTERNAME_LENGTH + 6];  // "\\" NAME "\IPC$"
    int length = BoundedLength(controller, MAX_COMPUTERNAME_LENGTH + 2);
    // A name that starts with a backslash is taken as it is, less two characters.
    BOOL prefixed = controller[0] == '\\' || controller[1] == '\\';
    if ((prefixed ? length - 2 : length) > MAX_COMPUTERNAME_LENGTH) {
        SetLastError(ERROR_INVALID_COMPUTERNAME);
        return FALSE;
    }
    int at = 0;
    if (!prefixed) {
        remote[at++] = '\\';
        remote[at++] = '\\';
    }
    for (int i = 0; i < length; ++i) remote[at++] = controller[i];
    for (const char* p = "\\IPC$"; *p; ++p) remote[at++] = (WCHAR)*p;
    remote[at] = 0;
    NET_API_STATUS status;
    if (add) {
        WCHAR empty[1] = {0};
        USE_INFO_2 use;
        memset(&use, 0, sizeof use);
        use.ui2_local = nullptr;
        use.ui2_remote = remote;
        use.ui2_password = empty;  // empty credentials: a null session
        use.ui2_asg_type = USE_IPC;
        use.ui2_username = empty;
        use.ui2_domainname = empty;
        DWORD parameterError = 0;
        status = NetUseAdd(nullptr, 2, reinterpret_cast<LPBYTE>(&use), &parameterError);
    } else {
        status = NetUseDel(nullptr, remote, USE_NOFORCE);
    }
    if (status != NERR_Success) SetLastError(status);
    return status == NERR_Success;
}

BOOL WaitForComputerAccount(const WCHAR* controller, const WCHAR* localName) {
    WCHAR account[kLocalNameChars + 2];
    int length = BoundedLength(localName, kLocalNameChars);
    if (length > kLocalNameChars) return FALSE;
    memcpy(account, localName, length * sizeof(WCHAR));
    account[length] = '$';
    account[length + 1] = 0;
    time_t start = time(nullptr);
    NET_API_STATUS last = NERR_UserNotFound;
    while (time(nullptr) < start + 15) {
        LPBYTE buffer = nullptr;
        NET_API_STATUS status = NetUserGetInfo(controller, account, 0, &buffer);
        if (status == NERR_Success) {
            // The record must name the account asked for; the comparison stops at the
            // first difference, so a longer or unterminated name is never read to its end.
            const USER_INFO_0* info = reinterpret_cast<const USER_INFO_0*>(buffer);
            BOOL same = info && info->usri0_name;
            for (int i = 0; same && i <= length + 1; ++i)
                if (UpperAscii(info->usri0_name[i]) != UpperAscii(account[i])) same = FALSE;
            if (buffer) NetApiBufferFree(buffer);
            if (!same) Log("Error: The domain controller answered with a malformed computer account record.");
            return same;
        }
        if (buffer) NetApiBufferFree(buffer);
        last = status;
        Sleep(1000);
    }
    if (last == ERROR_ACCESS_DENIED) return TRUE;  // it exists; the null session may only not read it
    if (last == NERR_InvalidComputer)
        ReportError("Error: Invalid server name specified in query to obtain computer account in domain", logStream);
    if (last == NERR_UserNotFound)
        ReportError("Error: Invalid account name specified in query to obtain computer account in domain", logStream);
    return FALSE;
}

BOOL GetDomainSidFromController(SystemFunctions* functions, const WCHAR* controller, PSID* domainSid) {
    *domainSid = nullptr;
    LPBYTE buffer = nullptr;
    NET_API_STATUS status = functions->NetUserModalsGet(controller, 2, &buffer);
    if (status != NERR_Success) {
        if (buffer) NetApiBufferFree(buffer);
        SetLastError(status);
        return FALSE;
    }
    const USER_MODALS_INFO_2* info = reinterpret_cast<const USER_MODALS_INFO_2*>(buffer);
    PSID sid = info ? info->usrmod2_domain_id : nullptr;
    // A domain SID is S-1-5-21-a-b-c: its length is known from its header alone, and
    // anything else is refused before a byte beyond the header is read.
    BOOL wellFormed = sid && IsValidSid(sid) && GetLengthSid(sid) == kSidSize;
    PSID copy = nullptr;
    if (wellFormed) {
        copy = LocalAlloc(LPTR, kSidSize);
        if (copy && !CopySid(kSidSize, copy, sid)) {
            LocalFree(copy);
            copy = nullptr;
        }
        if (!copy) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } else {
        Log("Error: The domain controller answered with a malformed domain SID.");
        SetLastError(ERROR_INVALID_SID);
    }
    NetApiBufferFree(buffer);
    *domainSid = copy;
    return copy != nullptr;
}

BOOL SetDomainTrust(SystemFunctions* functions, LSA_HANDLE policy, PSID domainSid, WCHAR* domainName,
                    const WCHAR* localName) {
    char text[160];
    for (WCHAR* p = domainName; *p; ++p) *p = UpperAscii(*p);
    if (GetOsVersionClass() == 7) {
        time_t deadline = time(nullptr) + 30;
        NET_API_STATUS result = functions->NetJoinDomain(nullptr, domainName, nullptr, nullptr, nullptr, kJoinOptions);
        while (result == NERR_WkstaNotStarted) {
            Sleep(1000);
            if (time(nullptr) > deadline) return Fail("Error: Timed out waiting for Workstation service to start");
            result = functions->NetJoinDomain(nullptr, domainName, nullptr, nullptr, nullptr, kJoinOptions);
        }
        if (result != NERR_Success && result != ERROR_LOGON_FAILURE && result != NERR_SetupAlreadyJoined) {
            snprintf(text, sizeof text, "Error %d joining domain", (int)result);
            return Fail(text);
        }
        char suffix[kDomainNameChars + 1];
        Narrow(domainName, suffix, sizeof suffix);
        functions->SetComputerNameExA(ComputerNamePhysicalDnsDomain, suffix);
    } else {
        TRUSTED_DOMAIN_NAME_INFO info;
        info.Name = Counted(domainName);
        NTSTATUS status = functions->LsaSetTrustedDomainInformation(policy, domainSid, TrustedDomainNameInformation, &info);
        if (status != kStatusSuccess && status != kObjectNameCollision) {
            snprintf(text, sizeof text, "Error %d setting domain trust relationship", (int)status);
            return Fail(text);
        }
    }
    // The machine password an unsecured join expects: the name in lower case, at most 14 characters.
    WCHAR password[15];
    int length = 0;
    while (length < 14 && localName[length]) {
        password[length] = LowerAscii(localName[length]);
        ++length;
    }
    password[length] = 0;
    WCHAR keyName[16];
    Widen("$MACHINE.ACC", keyName, 16);
    LSA_UNICODE_STRING key = Counted(keyName), secret = Counted(password);
    NTSTATUS status = functions->LsaStorePrivateData(policy, &key, &secret);
    if (status != kStatusSuccess) {
        snprintf(text, sizeof text, "Warning: Error %d storing machine password", (int)status);
        return Fail(text);
    }
    return TRUE;
}

BOOL ReestablishDomainTrust() {
    SystemFunctions functions;
    // A domain controller's trust is not touched.
    LPBYTE buffer = nullptr;
    NET_API_STATUS status = functions.NetServerGetInfo(nullptr, 101, &buffer);
    BOOL controller = status == NERR_Success && buffer &&
                      (reinterpret_cast<const SERVER_INFO_101*>(buffer)->sv101_type & 0x18) != 0;
    if (buffer) functions.NetApiBufferFree(buffer);
    if (controller) return FALSE;

    // The local account domain's name: on a member, the computer's own name.
    WCHAR localName[kLocalNameChars + 1];
    buffer = nullptr;
    status = functions.NetUserModalsGet(nullptr, 2, &buffer);
    int length = kLocalNameChars + 1;
    if (status == NERR_Success && buffer) {
        const WCHAR* name = reinterpret_cast<const USER_MODALS_INFO_2*>(buffer)->usrmod2_domain_name;
        length = name ? BoundedLength(name, kLocalNameChars) : 0;
        if (length > 0 && length <= kLocalNameChars) memcpy(localName, name, (length + 1) * sizeof(WCHAR));
    }
    if (buffer) functions.NetApiBufferFree(buffer);
    if (status != NERR_Success || length == 0 || length > kLocalNameChars) {
        Log("WARNING: Error getting local machine name");
        return FALSE;
    }

    // The primary domain's name, only when the policy names it with a SID.
    WCHAR domainName[kDomainNameChars + 1];
    domainName[0] = 0;
    LSA_OBJECT_ATTRIBUTES attributes;
    memset(&attributes, 0, sizeof attributes);
    LSA_HANDLE policy = nullptr;
    NTSTATUS lsaStatus = LsaOpenPolicy(nullptr, &attributes, POLICY_VIEW_LOCAL_INFORMATION, &policy);
    if (lsaStatus != kStatusSuccess) {
        SetLastError(LsaNtStatusToWinError(lsaStatus));
        Log("WARNING: Error getting domain name");
        return FALSE;
    }
    PVOID primary = nullptr;
    if (LsaQueryInformationPolicy(policy, PolicyPrimaryDomainInformation, &primary) == kStatusSuccess && primary) {
        const POLICY_PRIMARY_DOMAIN_INFO* info = static_cast<const POLICY_PRIMARY_DOMAIN_INFO*>(primary);
        if (info->Sid && info->Name.Buffer) {
            int chars = info->Name.Length / 2;
            if (chars > kDomainNameChars) chars = kDomainNameChars;
            memcpy(domainName, info->Name.Buffer, chars * sizeof(WCHAR));
            domainName[chars] = 0;
        }
    }
    if (primary) LsaFreeMemory(primary);
    LsaClose(policy);
    if (!domainName[0]) {
        Log("WARNING: Error getting domain name");
        return FALSE;
    }
    domainName[MAX_COMPUTERNAME_LENGTH] = 0;  // a NetBIOS domain name has at most 15 characters

    WCHAR controllerName[kControllerChars + 1];
    if (!FindController(domainName, controllerName)) {
        Log("WARNING: Error obtaining name of domain controller");
        return FALSE;
    }
    if (!ConnectIpcSession(controllerName, TRUE)) {
        Log("WARNING: Error establishing session with domain controller");
        return FALSE;
    }
    if (!WaitForComputerAccount(controllerName, localName)) {
        Log("WARNING: New Computer Account Doesn't Exist in Domain");
        return FALSE;
    }
    PSID domainSid = nullptr;
    if (!GetDomainSidFromController(&functions, controllerName, &domainSid)) {
        LogNumber("WARNING: Error %ld obtaining domain SID", (long)GetLastError());
        return FALSE;
    }

    // The workstation's own policy, by its name, with every right the trust needs.
    LSA_UNICODE_STRING systemName = Counted(localName);
    lsaStatus = LsaOpenPolicy(&systemName, &attributes, POLICY_ALL_ACCESS, &policy);
    if (lsaStatus != kStatusSuccess) {
        LogNumber("WARNING: Error %ld opening workstation policy", (long)(int)lsaStatus);
        LocalFree(domainSid);
        return FALSE;
    }
    for (WCHAR* p = localName; *p; ++p) *p = LowerAscii(*p);
    BOOL trusted = SetDomainTrust(&functions, policy, domainSid, domainName, localName);
    if (!trusted) {
        WorkgroupFallback(&functions, policy);
    } else {
        lsaStatus = SetPrimaryDomain(policy, domainName, domainSid);
        if (lsaStatus != kStatusSuccess) {
            LogNumber("WARNING: Error %ld setting primary domain", (long)(int)lsaStatus);
            trusted = FALSE;
        }
    }
    LsaClose(policy);
    LocalFree(domainSid);
    if (!trusted) return FALSE;

    Log("   Domain Trust Re-Established.");
    ConnectIpcSession(controllerName, FALSE);
    char name[kDomainNameChars + 1];
    Narrow(domainName, name, sizeof name);
    RegistryKey winlogon(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon");
    if (winlogon.Open(TRUE, FALSE, 0) == 0) winlogon.WriteString("DefaultDomainName", name);
    return TRUE;
}
