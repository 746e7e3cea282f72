// ApplyNewComputerName and the check of a typed computer name.
#include "identity/computer_name.h"

#include <cstdio>
#include <cstring>

#include "core/output.h"
#include "identity/role_checks.h"
#include "identity/system_functions.h"

NewNameRequest* newNameRequest = nullptr;

namespace {

// Writes one string value, creating the key; the callers go on whatever happens.
void WriteValue(const char* path, const char* valueName, const char* text) {
    RegistryKey key(HKEY_LOCAL_MACHINE, path);
    if (key.Open(TRUE, FALSE, 0) == 0) key.WriteString(valueName, text);
}

// Asks the operator through the status window. TRUE with the name in job when accepted.
// FALSE with *failed set when the request could not be made.
BOOL AskForName(JobSettings* job, BOOL* failed) {
    *failed = FALSE;
    NewNameRequest* request = static_cast<NewNameRequest*>(LocalAlloc(LPTR, sizeof(NewNameRequest)));
    if (!request) {
        ReportError("Error: Out of Memory", logStream);
        *failed = TRUE;
        return FALSE;
    }
    newNameRequest = request;
    int accepted = 0;
    SendMessageA(currentDialog, AskNewComputerName, (WPARAM)&accepted, (LPARAM)request);
    BOOL taken = FALSE;
    if (accepted) {
        // The dialog refuses what cannot be a name; an answer that slipped past it is
        // still refused here rather than cut to fit or handed to the system.
        request->name[sizeof request->name - 1] = 0;
        char message[256];
        if (!CheckComputerName(request->name, message, sizeof message)) {
            ReportError(message, logStream);
            *failed = TRUE;
        } else {
            memcpy(job->newComputerName, request->name, strlen(request->name) + 1);
            taken = TRUE;
        }
    }
    newNameRequest = nullptr;
    LocalFree(request);
    return taken;
}

}  // namespace

BOOL CheckComputerNameForVersion(const char* name, int versionClass, char* message, size_t messageSize) {
    // NT 4.0 (and older) sets the name with SetComputerNameA, which takes letters, digits
    // and ! @ # $ % ^ & ' ) ( . - _ { } ~ only; 2000 and later set it with SetComputerNameExA
    // as the first label of the DNS name, which takes letters, digits, - and _ (and
    // characters past ASCII) and refuses a name of digits only. An unknown version gets both
    // rules. A dot is refused everywhere: the name is also the network stack's host name.
    bool netbios = versionClass <= 6;
    bool dnsLabel = versionClass >= 7 || versionClass == 0;
    char text[256];
    text[0] = 0;
    size_t length = name ? strnlen(name, 64) : 0;
    if (length == 0) {
        snprintf(text, sizeof text, "Please enter a computer name.");
    } else if (length > MAX_COMPUTERNAME_LENGTH) {
        snprintf(text, sizeof text, "A computer name can be at most %d characters long.", MAX_COMPUTERNAME_LENGTH);
    } else if (name[0] == ' ' || name[length - 1] == ' ') {
        snprintf(text, sizeof text, "A computer name cannot begin or end with a space.");
    } else {
        bool digitsOnly = true;
        for (size_t i = 0; i < length && !text[0]; ++i) {
            unsigned char c = (unsigned char)name[i];
            bool letterOrDigit = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
            if (c < '0' || c > '9') digitsOnly = false;
            if (c < 0x20)
                snprintf(text, sizeof text, "A computer name cannot contain control characters.");
            else if (c == ' ')
                snprintf(text, sizeof text, "A computer name cannot contain a space.");
            else if (c == '.' || strchr("\"/\\[]:|<>+=;,?*", c) ||
                     (netbios && !letterOrDigit && !strchr("!@#$%^&')(-_{}~", c)) ||
                     (dnsLabel && c < 0x80 && !letterOrDigit && c != '-' && c != '_'))
                snprintf(text, sizeof text, "A computer name cannot contain the character %c.", c);
        }
        if (!text[0] && dnsLabel && digitsOnly)
            snprintf(text, sizeof text, "A computer name cannot be made of digits only.");
    }
    if (!text[0]) return TRUE;
    if (message && messageSize) snprintf(message, messageSize, "%s", text);
    return FALSE;
}

BOOL CheckComputerName(const char* name, char* message, size_t messageSize) {
    return CheckComputerNameForVersion(name, GetOsVersionClass(), message, messageSize);
}

ComputerNameResult ApplyNewComputerName(JobSettings* job) {
    char message[128];
    StatusLine("Stage 3: Changing Computer Name", logStream);
    if (!job->newComputerName[0]) {
        BOOL failed = FALSE;
        if (!AskForName(job, &failed)) return failed ? kNameFailed : kNameSkipped;
    }
    // The name goes into the live registry, which only the original hives give back: from
    // here on a failure or an abort must restore them and restart, like any other change.
    job->changesMade = 1;
    OsVersionClass versionClass = GetOsVersionClass();
    if (versionClass == 6) {
        if (!SetComputerNameA(job->newComputerName)) {
            snprintf(message, sizeof message, "Error %d setting new computer name", (int)GetLastError());
            ReportError(message, logStream);
            return kNameFailed;
        }
        // The network stack's host name, exactly as entered.
        WriteValue("System\\CurrentControlSet\\Services\\Tcpip\\Parameters", "Hostname", job->newComputerName);
    } else {
        // The extended call sets the host name and the NetBIOS name together.
        SystemFunctions functions;
        SetLastError(ERROR_PROC_NOT_FOUND);
        if (!functions.SetComputerNameExA(ComputerNamePhysicalDnsHostname, job->newComputerName)) {
            snprintf(message, sizeof message, "Error %d setting new computer name via SetComputerNameEx()",
                     (int)GetLastError());
            ReportError(message, logStream);
            return kNameFailed;
        }
    }
    if (!IsDomainMember()) {
        // The logon screen offers a workgroup computer's own name as the domain to log on to;
        // a member's values get the domain's name in the clean-up run.
        char upper[16];
        size_t length = strnlen(job->newComputerName, sizeof upper - 1);
        for (size_t i = 0; i < length; ++i) {
            char c = job->newComputerName[i];
            upper[i] = (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
        }
        upper[length] = 0;
        RegistryKey winlogon(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows NT\\CurrentVersion\\WinLogon");
        if (winlogon.Open(TRUE, FALSE, 0) == 0) {
            winlogon.WriteString("DefaultDomainName", upper);
            if (versionClass == 7) winlogon.WriteString("AltDefaultDomainName", upper);
        }
    }
    snprintf(message, sizeof message, "New Computer Name: %s", job->newComputerName);
    LogLine(message, logStream);
    job->establishDomainTrust = 1;
    if (!job->SaveSettings(0)) return kNameNotStored;
    return kNameChanged;
}
