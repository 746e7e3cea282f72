// The clean state of a hive file and its transaction logs (old format with a dirty
// vector, new format with "HvLE" entries), read without writing anything.
#include "ntsim/registry/regf_log.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "nt/linux/base.h"
#include "ntsim/registry/regf_records.h"

namespace ntsim {

using namespace regf;

namespace {

constexpr uint32_t kSector = 512;
constexpr uint32_t kTypePrimary = 0, kTypeOldLog = 1, kTypeNewLog = 6;
constexpr size_t kEntryHeader = 40;  // "HvLE" entry up to its dirty page references

uint32_t OpenError(const std::string& path) {
    if (errno == ENOENT) {
        size_t slash = path.find_last_of('/');
        struct stat st;
        if (slash != std::string::npos && slash > 0 && stat(path.substr(0, slash).c_str(), &st) != 0) return ERROR_PATH_NOT_FOUND;
        return ERROR_FILE_NOT_FOUND;
    }
    if (errno == ENOTDIR) return ERROR_PATH_NOT_FOUND;
    if (errno == EACCES || errno == EPERM) return ERROR_ACCESS_DENIED;
    return ERROR_READ_FAULT;
}

// Up to max bytes of a file from its start (the whole file when max is 0).
uint32_t ReadHead(const std::string& path, size_t max, std::vector<uint8_t>* out) {
    out->clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return OpenError(path);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return ERROR_ACCESS_DENIED;
    }
    size_t want = max ? std::min(max, (size_t)st.st_size) : (size_t)st.st_size;
    out->resize(want);
    size_t done = 0;
    while (done < want) {
        ssize_t n = pread(fd, out->data() + done, want - done, (off_t)done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += (size_t)n;
    }
    close(fd);
    out->resize(done);
    return ERROR_SUCCESS;
}

bool ChecksumHolds(const uint8_t* base) {
    uint32_t x = HeaderXor(base);
    uint32_t stored = Le32(base + offsetof(BaseBlock, checksum));
    return stored == x || stored == StoredChecksum(x);
}

std::string Num(uint64_t n) { return std::to_string(n); }

// Where the log's second sector begins: its base block fills the first sector, whose
// size the clustering factor gives (1 for 512-byte sectors, 8 for 4 KiB ones).
size_t SecondSector(const std::vector<uint8_t>& log, const char* signature) {
    uint32_t clustering = Le32(log.data() + offsetof(BaseBlock, clustering));
    size_t candidates[2] = {kSector, (clustering >= 1 && clustering <= 8) ? (size_t)clustering * kSector : kSector};
    for (size_t at : candidates)
        if (log.size() >= at + 4 && memcmp(log.data() + at, signature, 4) == 0) return at;
    return 0;
}

// An old-format log whose dirty pages are newer than the hive: NT wrote the log and was cut
// off before the hive itself was written (or the hive is an older copy than its log).
bool OldLogPending(const std::vector<uint8_t>& log, uint32_t hiveSeq, std::string* detail) {
    uint32_t primary = Le32(log.data() + offsetof(BaseBlock, primarySeq));
    uint32_t secondary = Le32(log.data() + offsetof(BaseBlock, secondarySeq));
    if (primary != secondary || secondary <= hiveSeq) return false;  // a torn log is never applied
    size_t at = SecondSector(log, "DIRT");
    if (!at) return false;
    uint32_t binsSize = Le32(log.data() + offsetof(BaseBlock, binsSize));
    size_t bits = binsSize / kSector;
    size_t bytes = std::min((bits + 7) / 8, log.size() - at - 4);
    size_t dirty = 0;
    for (size_t i = 0; i < bytes; ++i) {
        uint8_t b = log[at + 4 + i];
        if (i == (bits + 7) / 8 - 1 && bits % 8) b &= (uint8_t)((1u << (bits % 8)) - 1);
        dirty += (size_t)__builtin_popcount(b);
    }
    if (!dirty) return false;
    *detail = "old-format log of sequence " + Num(secondary) + " (the hive's is " + Num(hiveSeq) + "), " + Num(dirty) +
              " dirty 512-byte pages";
    return true;
}

// A new-format log with intact entries from the hive's sequence number on: NT 8.1 and later
// write changes there first and into the hive only when they reconcile it.
bool NewLogPending(const std::vector<uint8_t>& log, uint32_t hiveSeq, std::string* detail) {
    size_t at = SecondSector(log, "HvLE");
    if (!at) return false;
    uint32_t first = 0, last = 0, pending = 0;
    while (log.size() - at >= kEntryHeader && memcmp(log.data() + at, "HvLE", 4) == 0) {
        const uint8_t* e = log.data() + at;
        uint32_t size = Le32(e + 4), seq = Le32(e + 12), binsSize = Le32(e + 16), pages = Le32(e + 20);
        // An entry that does not hold together ends the log, as it ends NT's recovery.
        if (size < kEntryHeader || size > log.size() - at || binsSize % kBinUnit || (uint64_t)pages * 8 > size - kEntryHeader)
            break;
        uint64_t hash1, hash2;
        memcpy(&hash1, e + 24, 8);
        memcpy(&hash2, e + 32, 8);
        if (Marvin32(e + kEntryHeader, size - kEntryHeader, kHiveLogMarvinSeed) != hash1) break;
        if (Marvin32(e, 32, kHiveLogMarvinSeed) != hash2) break;
        if (seq >= hiveSeq) {
            if (!pending) first = seq;
            last = seq;
            ++pending;
        }
        at += (size + kSector - 1) / kSector * kSector;
    }
    if (!pending) return false;
    *detail = "new-format log with " + Num(pending) + " entr" + (pending == 1 ? "y" : "ies") + " of sequence " + Num(first) +
              (last != first ? " to " + Num(last) : std::string()) + " (the hive's is " + Num(hiveSeq) + ")";
    return true;
}

}  // namespace

uint64_t Marvin32(const uint8_t* data, size_t size, uint64_t seed) {
    uint32_t lo = (uint32_t)seed, hi = (uint32_t)(seed >> 32);
    auto rotl = [](uint32_t v, int n) { return (v << n) | (v >> (32 - n)); };
    auto block = [&] {
        hi ^= lo;
        lo = rotl(lo, 20);
        lo += hi;
        hi = rotl(hi, 9);
        hi ^= lo;
        lo = rotl(lo, 27);
        lo += hi;
        hi = rotl(hi, 19);
    };
    size_t i = 0;
    for (; size - i >= 4; i += 4) {
        lo += Le32(data + i);
        block();
    }
    // The last 0-3 bytes with a 0x80 byte after them.
    uint32_t last = 0x80;
    for (size_t k = size - i; k-- > 0;) last = (last << 8) | data[i + k];
    lo += last;
    block();
    block();
    return ((uint64_t)hi << 32) | lo;
}

uint32_t HiveFileClean(const std::string& hostPath, std::string* why) {
    why->clear();
    std::vector<uint8_t> base;
    if (uint32_t err = ReadHead(hostPath, kSector, &base)) {
        *why = err == ERROR_ACCESS_DENIED ? "it cannot be read" : "it does not exist";
        return err;
    }
    if (base.size() < kSector || memcmp(base.data(), "regf", 4) != 0 || Le32(base.data() + offsetof(BaseBlock, type)) != kTypePrimary) {
        *why = "it is not a hive file";
        return ERROR_NOT_REGISTRY_FILE;
    }
    if (!ChecksumHolds(base.data())) {
        *why = "its base block's checksum is wrong: a write to it was cut off";
        return ERROR_BADDB;
    }
    uint32_t primary = Le32(base.data() + offsetof(BaseBlock, primarySeq));
    uint32_t secondary = Le32(base.data() + offsetof(BaseBlock, secondarySeq));
    if (primary != secondary) {
        *why = "its sequence numbers differ (" + Num(primary) + " and " + Num(secondary) +
               "): a write to it was cut off, and only Windows's recovery from its logs completes it";
        return ERROR_BADDB;
    }

    // The logs beside it, named after it in any case (a copied tree may have changed the case).
    size_t slash = hostPath.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : hostPath.substr(0, slash));
    std::string name = slash == std::string::npos ? hostPath : hostPath.substr(slash + 1);
    std::vector<std::string> logs;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* entry = readdir(d)) {
            std::string n = entry->d_name;
            for (const char* ext : {".LOG", ".LOG1", ".LOG2"})
                if (strcasecmp(n.c_str(), (name + ext).c_str()) == 0) logs.push_back(n);
        }
        closedir(d);
    }
    std::sort(logs.begin(), logs.end());
    std::vector<uint8_t> log;
    for (const std::string& logName : logs) {
        if (ReadHead(dir + "/" + logName, 0, &log) != ERROR_SUCCESS) {
            *why = logName + " beside it cannot be read, so whether it holds changes not yet written is unknown";
            return ERROR_BADDB;
        }
        // An empty log, or one without a whole base block, holds nothing NT would apply.
        if (log.size() < kSector || memcmp(log.data(), "regf", 4) != 0 || !ChecksumHolds(log.data())) continue;
        uint32_t type = Le32(log.data() + offsetof(BaseBlock, type));
        std::string detail;
        bool pending = (type == kTypeOldLog && OldLogPending(log, secondary, &detail)) ||
                       (type == kTypeNewLog && NewLogPending(log, secondary, &detail));
        if (pending) {
            *why = logName + " holds changes not yet written to it (" + detail +
                   "): Windows applies them at its next start";
            return ERROR_BADDB;
        }
    }
    return ERROR_SUCCESS;
}

}  // namespace ntsim
