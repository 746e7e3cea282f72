// The program's compiled resources (.res, as windres writes it): found, bounds-checked
// and looked up by type and id for LoadStringA, DialogBoxParamA, LoadIconA, LoadBitmapA.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace ntsim {

struct ResourceEntry {
    uint32_t type = 0;       // ordinal type (RT_STRING 6, RT_DIALOG 5, ...); 0 when named
    std::string typeName;    // named type, upper case
    uint32_t id = 0;         // ordinal name; 0 when named
    std::string name;        // named resource, upper case
    uint16_t language = 0;
    std::vector<uint8_t> data;
};

// Parses a .res image. False with a reason when the bytes are not a well-formed .res.
bool ResourcesParse(const uint8_t* bytes, size_t size, std::vector<ResourceEntry>* out, std::string* error);

// Replaces the process's resources with those of a .res file (tests, tools).
bool ResourcesLoadFile(const std::string& path, std::string* error);
// Forgets loaded resources, so that the next lookup finds them again from the usual places.
void ResourcesReset();

// The resource of an ordinal type named by id (an ordinal or a "#123"/name string pointer
// as Win32 passes it); nullptr when absent. The program's resources are found, in order:
// loaded by ResourcesLoadFile; the file named by NTSIM_RESOURCES; those linked into the
// program (tessiv_resources); <program>.res or tessiv.res next to the program.
const ResourceEntry* ResourceFind(uint32_t type, const char* name);

// The string of a string-table id in the system code page; false when absent.
bool ResourceString(uint32_t id, std::string* text);

// UTF-16 to the 8-bit system code page (Windows-1252 for the Latin-1 range, '?' beyond).
std::string NarrowText(const uint16_t* text, size_t length);

}  // namespace ntsim
