// Writing and reading the synchronization file.
#include "engine/sync_file.h"

#include <cstring>

#include "core/output.h"
#include "identity/role_checks.h"

bool ReadsSyncFile(int role) { return role == kBackupDomainController || role == kDomainMember; }

int WriteSyncFile(JobSettings* job) {
    CreatePathDirectories(job->dataFileName);
    SetLastError(ERROR_SUCCESS);
    // Commit mode: the flush below puts the file on the disk before the SID changes.
    job->syncFile = fopen(job->dataFileName, "wtc");
    if (!job->syncFile) {
        // A primary controller that changes its SID without leaving this file would cut
        // its domain off: the run must stop here, before anything is changed.
        DWORD error = GetLastError();
        snprintf(job->message, sizeof job->message, "Error %d creating synchronization file '%s'", (int)error,
                 job->dataFileName);
        ReportError(job->message, logStream);
        return 0;
    }
    // Every write, the flush and the close are checked: a file that was created but not
    // written would leave the domain without the new SID while the run goes on.
    SetLastError(ERROR_SUCCESS);
    char lines[2 * kSidTextSize + 40];
    int length = snprintf(lines, sizeof lines, "Old-Domain-SID: %s\nNew-Domain-SID: %s\n", job->originalSidText,
                          job->newSidText);
    bool written = length > 0 && length < (int)sizeof lines &&
                   fwrite(lines, 1, (size_t)length, job->syncFile) == (size_t)length;
    written = fflush(job->syncFile) == 0 && written && !ferror(job->syncFile);
    written = fclose(job->syncFile) == 0 && written;
    job->syncFile = nullptr;
    if (!written) {
        DWORD error = GetLastError();
        if (error == ERROR_SUCCESS) error = ERROR_WRITE_FAULT;
        snprintf(job->message, sizeof job->message, "Error %d writing synchronization file '%s'", (int)error,
                 job->dataFileName);
        ReportError(job->message, logStream);
        return 0;
    }
    return 1;
}

void WithdrawSyncFile(const JobSettings* job, const char* newSidText) {
    if (!job->writeSyncFile || !job->dataFileName[0] || !newSidText || !newSidText[0]) return;
    FILE* stream = fopen(job->dataFileName, "rt");
    if (!stream) return;
    char text[2 * kSidTextSize + 40];
    size_t length = fread(text, 1, sizeof text - 1, stream);
    fclose(stream);
    text[length] = 0;
    char line[kSidTextSize + 20];
    snprintf(line, sizeof line, "New-Domain-SID: %s\n", newSidText);
    if (!strstr(text, line)) return;
    char message[MAX_PATH + 120];
    if (DeleteFileA(job->dataFileName))
        snprintf(message, sizeof message, "Synchronization file '%s' removed: the domain keeps its SID", job->dataFileName);
    else
        snprintf(message, sizeof message,
                 "Error %d removing synchronization file '%s': delete it before any backup controller reads it",
                 (int)GetLastError(), job->dataFileName);
    LogLine(message, logStream);
}

namespace {

bool IsBlank(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

void SkipBlanks(FILE* stream) {
    int c;
    while ((c = fgetc(stream)) != EOF && IsBlank(c)) {
    }
    if (c != EOF) ungetc(c, stream);
}

// One line as the pattern "<label> %s\n" reads it: the label exactly, letter case
// included; then any blanks; then the field, a run of non-blank characters of at
// most kSidTextSize - 1; then any blanks. A longer field is a format error.
bool ReadField(FILE* stream, const char* label, char* field) {
    for (const char* p = label; *p; ++p)
        if (fgetc(stream) != (unsigned char)*p) return false;
    SkipBlanks(stream);
    size_t n = 0;
    int c;
    while ((c = fgetc(stream)) != EOF && !IsBlank(c)) {
        if (n + 1 >= kSidTextSize) return false;
        field[n++] = (char)c;
    }
    if (c != EOF) ungetc(c, stream);
    field[n] = 0;
    if (n == 0) return false;
    SkipBlanks(stream);
    return true;
}

}  // namespace

int ReadSyncFile(FILE* stream, Sid** oldSid, char* oldText, Sid** newSid, char* newText) {
    if (!stream || !oldSid || !oldText || !newSid || !newText) return 0;
    if (!ReadField(stream, "Old-Domain-SID:", oldText)) return 0;
    if (!ReadField(stream, "New-Domain-SID:", newText)) return 0;
    SID_IDENTIFIER_AUTHORITY ntAuthority = {{0, 0, 0, 0, 0, 5}};
    PSID sid = nullptr;
    if (!AllocateAndInitializeSid(&ntAuthority, 4, 21, 0, 0, 0, 0, 0, 0, 0, &sid)) return 0;
    *oldSid = static_cast<Sid*>(sid);
    sid = nullptr;
    if (!AllocateAndInitializeSid(&ntAuthority, 4, 21, 0, 0, 0, 0, 0, 0, 0, &sid)) return 0;
    *newSid = static_cast<Sid*>(sid);
    if (!SidFromText(oldText, *oldSid)) return 0;
    return SidFromText(newText, *newSid) ? 1 : 0;
}
