// The registry's part in booting and shutting down the simulated machine:
// hive replacements recorded by RegReplaceKeyA, and writing the hives at shutdown.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace ntsim {

// Applies the hive replacements that RegReplaceKeyA recorded for the machine in
// machineDir: each live hive file becomes the old file named in the call and the
// new file takes its place. Returns ERROR_SUCCESS, or the first error (the
// replacements not yet applied stay recorded). Call before any process of the
// new boot loads the registry.
uint32_t ApplyPendingHiveReplacements(const std::string& machineDir);

// Writes every changed hive of this process (shutdown, as at process exit).
void RegistryShutdown();

// The key tree at keyPath ("HKEY_LOCAL_MACHINE\SOFTWARE\X", or HKLM / HKU for short) as
// text: [path] lines, then one line per value with its type and data. Links are not followed.
uint32_t RegistryExportText(const std::string& keyPath, std::string* text);
// The hive files of the attached machine that exist but could not be read: one line per
// file, "<Windows path> (error <n>)".
std::vector<std::string> RegistryDamagedHives();

// The file in the machine directory that records pending hive replacements.
extern const char* const kPendingHiveReplacements;

}  // namespace ntsim
