// Folder listings of open find handles, and the machine-wide count of file changes
// that tells when they can no longer be trusted.
#include "ntsim/files/listing.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "ntsim/security/access.h"
#include "ntsim/kernel/process.h"
#include "ntsim/kernel/threads.h"

namespace ntsim {

namespace {

std::mutex g_mutex;
std::vector<FolderListing*> g_listings;
std::string g_machineDir;
uint64_t* g_generation = nullptr;  // mapped from the machine's ".file-generation"
uint64_t g_seen = 0;               // the generation this process's listings are known good at
uint64_t g_epoch = 1;              // listings of another epoch are not trusted

// Holds g_mutex; the thread is not suspended meanwhile, or every other file call would wait.
struct ListingLock {
    ListingLock() {
        ThreadEnterCritical();
        g_mutex.lock();
    }
    ~ListingLock() {
        g_mutex.unlock();
        ThreadLeaveCritical();
    }
    ListingLock(const ListingLock&) = delete;
    ListingLock& operator=(const ListingLock&) = delete;
};

void Unmap() {
    ListingLock lock;
    if (g_generation) munmap(g_generation, sizeof *g_generation);
    g_generation = nullptr;
    g_machineDir.clear();
    ++g_epoch;
}

// The machine's generation counter, mapped at first use; null when it cannot be
// (then no listing is ever trusted). Called under g_mutex.
uint64_t* Generation() {
    if (!ProcessAttached()) return nullptr;
    const std::string& dir = CurrentProcess().machineDir;
    if (g_generation && g_machineDir == dir) return g_generation;
    if (g_generation) munmap(g_generation, sizeof *g_generation);
    g_generation = nullptr;
    g_machineDir = dir;
    ++g_epoch;
    int fd = open((dir + "/.file-generation").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) == 0 && (st.st_size >= 8 || ftruncate(fd, 8) == 0)) {
        void* map = mmap(nullptr, 8, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map != MAP_FAILED) g_generation = (uint64_t*)map;
    }
    close(fd);
    if (!g_generation) return nullptr;
    g_seen = __atomic_load_n(g_generation, __ATOMIC_ACQUIRE);
    // A machine directory made again at the same place must not meet an old mapping.
    AtProcessExit(60, [] { Unmap(); });
    return g_generation;
}

// Stales every listing when another process changed something since. Under g_mutex.
bool UpToDate() {
    uint64_t* generation = Generation();
    if (!generation) return false;
    uint64_t now = __atomic_load_n(generation, __ATOMIC_ACQUIRE);
    if (now != g_seen) {
        g_seen = now;
        ++g_epoch;
    }
    return true;
}

// The index of the entry named name, or npos; the entry just handed out is looked at first.
size_t EntryIndex(FolderListing* listing, const std::string& name) {
    size_t last = listing->returned.load(std::memory_order_acquire);
    if (last > 0 && last <= listing->entries.size() && name == listing->entries[last - 1].name) return last - 1;
    if (listing->byName.empty())
        for (size_t i = 0; i < listing->entries.size(); ++i) listing->byName.emplace(listing->entries[i].name, i);
    auto found = listing->byName.find(name);
    return found == listing->byName.end() ? std::string::npos : found->second;
}

// The entry may be used: read, and there when it was read.
bool EntryUsable(const FolderListing* listing, size_t i) {
    return i < listing->read.load(std::memory_order_acquire) && !listing->gone[i];
}

// Marks what a change by this process to the name in the host folder made stale.
// Under g_mutex.
void ChangedLocked(const std::string& folder, const std::string& name) {
    uint64_t* generation = Generation();
    if (!generation) return;
    uint64_t before = __atomic_fetch_add(generation, 1, __ATOMIC_ACQ_REL);
    if (before != g_seen) {
        ++g_epoch;  // another process changed something too: nothing listed is sure any more
    } else {
        for (FolderListing* listing : g_listings) {
            if (listing->epoch != g_epoch) continue;
            const std::string& listed = listing->folder.host;
            if (listed == folder) {
                size_t i = EntryIndex(listing, name);
                if (i != std::string::npos) listing->changed[i] = 1;
                continue;
            }
            // The changed path is the listed folder or one above it: its descriptor or
            // place may have changed.
            size_t length = folder.size() + 1 + name.size();
            if (listed.size() >= length && listed.compare(0, folder.size(), folder) == 0 && listed[folder.size()] == '/' &&
                listed.compare(folder.size() + 1, name.size(), name) == 0 &&
                (listed.size() == length || listed[length] == '/'))
                listing->epoch = 0;
        }
    }
    g_seen = before + 1;
}

// Whether the listed folder grants this process FILE_DELETE_CHILD; the answer is kept
// for the token it was given to. Under g_mutex.
bool DeleteChildGranted(FolderListing* listing) {
    if (listing->folder.store == FileStore::None) return true;
    const void* token = &CurrentToken();
    bool system = SystemAccessActive();
    if (listing->grantedTo != token || listing->grantedSystem != system) {
        uint32_t granted;
        listing->deleteChild = AccessCheckEx(listing->descriptor.data(), listing->descriptor.size(), kFileDeleteChild,
                                             FileGenericMapping(), 0, &granted) == ERROR_SUCCESS;
        listing->grantedTo = token;
        listing->grantedSystem = system;
    }
    return listing->deleteChild;
}

}  // namespace

FolderListing::~FolderListing() {
    ListingLock lock;
    g_listings.erase(std::remove(g_listings.begin(), g_listings.end(), this), g_listings.end());
    if (folderFd >= 0) close(folderFd);
}

void ListingBegin(FolderListing* listing) {
    ListingLock lock;
    uint64_t* generation = Generation();
    listing->readFrom = generation ? __atomic_load_n(generation, __ATOMIC_ACQUIRE) : 0;
}

void ListingOpen(FolderListing* listing) {
    ListingLock lock;
    listing->changed.assign(listing->entries.size(), 0);
    // A change anywhere while it was read, by any process, and it is not trusted.
    listing->epoch = UpToDate() && g_seen == listing->readFrom && listing->folderFd >= 0 ? g_epoch : 0;
    g_listings.push_back(listing);
}

bool ListingDelete(const std::string& full) {
    size_t slash = full.find_last_of('\\');
    if (slash == std::string::npos || slash < 2 || slash + 1 >= full.size()) return false;
    std::string name = full.substr(slash + 1);
    // Names the path rules refuse are left to the full check, which gives the error.
    if (name.find_first_of("<>|\"*?") != std::string::npos) return false;
    size_t folderSize = slash < 3 ? 3 : slash;
    ListingLock lock;
    if (!UpToDate()) return false;
    for (auto it = g_listings.rbegin(); it != g_listings.rend(); ++it) {
        FolderListing* listing = *it;
        if (listing->epoch != g_epoch || listing->folder.full.size() != folderSize ||
            full.compare(0, folderSize, listing->folder.full) != 0)
            continue;
        size_t i = EntryIndex(listing, name);
        if (i == std::string::npos) continue;
        if (!EntryUsable(listing, i) || listing->changed[i] ||
            (listing->entries[i].attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)))
            return false;
        // Deleting needs DELETE on the file or FILE_DELETE_CHILD on its folder; only the
        // second is known here, and the full check looks at the first.
        if (!DeleteChildGranted(listing)) return false;
        if (unlinkat(listing->folderFd, name.c_str(), 0) != 0) return false;
        ChangedLocked(listing->folder.host, name);
        return true;
    }
    return false;
}

void FileChanged(const std::string& host) {
    size_t slash = host.find_last_of('/');
    ListingLock lock;
    if (slash == std::string::npos)
        ChangedLocked(std::string(), host);
    else
        ChangedLocked(host.substr(0, slash), host.substr(slash + 1));
}

}  // namespace ntsim
