// Files opened by handle (CreateFileA): the open host file, its Windows path for faults,
// and what the handle may do with the data.
#pragma once
#include <memory>
#include <string>

#include "ntsim/kernel/handles.h"

namespace ntsim {

struct FileObject : KernelObject {
    int fd = -1;
    std::string path;  // as the program named it
    std::string host;
    bool canRead = false;
    bool canWrite = false;
    ~FileObject() override;
    const char* Kind() const override { return "File"; }
};

std::shared_ptr<FileObject> FileObjectOf(HANDLE handle);

// True while a view of the host file that may have been written is mapped: its data is
// not yet durable, whatever is flushed meanwhile (files/mapping.cpp).
bool MappedForWriting(const std::string& host);

}  // namespace ntsim
