// Folder listings kept while their find handles are open, so that DeleteFileA on a file
// just listed need not read again from the host what the listing read a moment before:
// whether it is a directory, its attributes, and the folder's descriptor. A deletion loop
// then costs one host call per file, as on NT, where the directory index holds the same.
//
// A listing is trusted only while nothing could have changed those facts. Every change
// to a file's attributes, descriptor or place made through the simulation is counted in
// a machine-wide generation (".file-generation" beside machine.conf, shared by all the
// machine's processes); this process's own changes stale just the listings they touch,
// another process's change stales all of them.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "ntsim/files/security.h"

namespace ntsim {

// What a listing read of one name.
struct ListedEntry {
    std::string name;  // as the host directory has it
    uint32_t attributes = 0;
    FILETIME created{}, accessed{}, written{};
    uint64_t size = 0;
};

struct FolderListing {
    FileRef folder;
    int folderFd = -1;                // the folder, held open while the listing is
    std::vector<uint8_t> descriptor;  // the folder's, as read for the listing's access check
    std::vector<ListedEntry> entries;  // in the folder's order, never resized once read
    std::vector<uint8_t> gone;        // per entry: no longer there when it was read
    std::vector<uint8_t> changed;     // per entry: this process changed it since
    std::atomic<size_t> read{0};      // entries read so far (the rest are being read)
    std::atomic<size_t> returned{0};  // entries handed out so far
    uint64_t epoch = 0;               // 0: not trusted
    uint64_t readFrom = 0;            // the machine's generation when the reading began
    std::unordered_map<std::string, size_t> byName;  // made at the first lookup out of order
    const void* grantedTo = nullptr;  // the token FILE_DELETE_CHILD was last checked for
    bool grantedSystem = false;       // ... and whether system access was on
    bool deleteChild = false;         // ... and the answer

    FolderListing() = default;
    FolderListing(const FolderListing&) = delete;
    FolderListing& operator=(const FolderListing&) = delete;
    ~FolderListing();
};

// Call before reading a listing, and ListingOpen once its first entry is read (folder,
// folderFd, descriptor and names filled in; the entries past read may still be being read):
// it is trusted from then on if nothing changed in between. Entries still being read are
// never looked at.
void ListingBegin(FolderListing* listing);
void ListingOpen(FolderListing* listing);

// DeleteFileA's short way, for the full Windows path of a file that a trusted listing
// shows under that exact name, as a file that is not read-only, in a folder whose
// descriptor grants this process FILE_DELETE_CHILD: deletes it and returns true.
// False when the listing cannot tell, or the host refused: the full checks then decide.
bool ListingDelete(const std::string& full);

// Records a change made by this process to the file or folder at host path: a change to
// its attributes, its descriptor, its existence or its place.
void FileChanged(const std::string& host);

}  // namespace ntsim
