#!/usr/bin/env python3
"""Reads the import tables of the Windows programs (objdump -p) and fails when

  * a function that the program binds by name at run time is imported directly
    (a system without it would refuse to start the program at all);
  * the program needs a DLL that is not part of Windows (libgcc, libstdc++, winpthread:
    they are linked statically);
  * the i686 program imports a function that Windows NT 4.0 does not export.

Usage: check_imports.py --i686 build/win32/tessiv.exe --x86_64 build/win64/tessiv.exe
       check_imports.py --planted   (builds a program with wrong imports and checks that
                                     every one of them is found)
A program that has not been built is skipped (exit 77), except when CI=true.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

# Bound by name through SystemFunctions or GetProcAddress: never imported.
BOUND_BY_NAME = {
    "SetComputerNameExA", "NetJoinDomain", "NetServerGetInfo", "NetUserModalsGet",
    "LsaSetTrustedDomainInformation", "LsaStorePrivateData", "IsWow64Process",
    "NtQuerySystemTime", "NtQueryInformationThread", "NtShutdownSystem",
}

# DLLs of Windows itself (msvcrt.dll has been part of the system since Windows NT 4.0).
SYSTEM_DLLS = {
    "advapi32.dll", "kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll",
    "comdlg32.dll", "netapi32.dll", "shell32.dll", "msvcrt.dll", "ntdll.dll",
}

# Where each fact about Windows NT 4.0 comes from:
#  Q31, Q35, Q351, Q40: the MSDN Library (June 1998 edition, the Platform SDK of the
#       Windows NT 4.0 era), the function's QuickInfo "Windows NT: Requires version 3.1
#       (3.5, 3.51, 4.0) or later". Checked against the archived page for
#       GetFileAttributesEx (4.0), IsDBCSLeadByte (3.1) and the "Windows NT 4.0 ACL and
#       ACE Functions" overview (SetEntriesInAcl, BuildExplicitAccessWithName,
#       GetNamedSecurityInfo, SetNamedSecurityInfo); the file mappings (CreateFileMapping,
#       MapViewOfFile, UnmapViewOfFile, FlushViewOfFile) against the Win32 API reference's
#       "File Mapping" overview of the same era.
#  CC:  the common controls and common dialogs of Windows NT 4.0 (comctl32.dll 4.00,
#       comdlg32.dll): MSDN "Shell and Common Controls Versions" lists property sheets
#       (PropertySheet, CreatePropertySheetPage, DestroyPropertySheetPage) for comctl32
#       4.00, the version of Windows 95 and Windows NT 4.0; InitCommonControlsEx needs
#       4.70 (Internet Explorer 3.0) and is therefore not on this list.
#  CRT: the Visual C++ 4.2 run time, msvcrt.dll 4.20, shipped with Windows NT 4.0; MSDN
#       "C Run-Time Libraries" (the functions below, and the start-up entry points
#       __getmainargs, __p__fmode, __p__commode, __p__acmdln, __set_app_type,
#       _initterm, which every msvcrt.dll program has imported since Visual C++ 4.0).
Q31, Q35, Q351, Q40, CC, CRT = "Q31", "Q35", "Q351", "Q40", "CC", "CRT"

def since(source, names):
    """{name: source} for each of the blank-separated names."""
    return dict.fromkeys(names.split(), source)


NT4_EXPORTS = {
    "advapi32.dll": {
        **since(Q31, (
            "AdjustTokenPrivileges AllocateAndInitializeSid CloseServiceHandle CopySid "
            "CreateServiceA DeleteService DeregisterEventSource FreeSid GetLengthSid "
            "GetSecurityDescriptorControl GetSidSubAuthority GetSidSubAuthorityCount GetUserNameA "
            "InitiateSystemShutdownA IsValidAcl IsValidSid LookupAccountNameA LookupAccountSidA "
            "LookupPrivilegeValueA OpenProcessToken OpenSCManagerA OpenServiceA "
            "QueryServiceConfigA QueryServiceStatus ControlService StartServiceA "
            "ChangeServiceConfigA RegCloseKey RegCreateKeyExA RegDeleteKeyA RegDeleteValueA "
            "RegEnumKeyExA RegEnumValueA RegFlushKey RegGetKeySecurity RegLoadKeyA RegOpenKeyA "
            "RegOpenKeyExA RegQueryInfoKeyA RegQueryValueExA RegReplaceKeyA RegRestoreKeyA "
            "RegSaveKeyA RegSetKeySecurity RegSetValueExA RegUnLoadKeyA RegisterEventSourceA "
            "RegisterServiceCtrlHandlerA ReportEventA SetServiceStatus "
            "StartServiceCtrlDispatcherA GetTokenInformation InitializeSecurityDescriptor "
            "SetSecurityDescriptorDacl GetSecurityDescriptorDacl GetSecurityDescriptorOwner "
            "GetSecurityDescriptorGroup GetSecurityDescriptorSacl GetSecurityDescriptorLength "
            "GetAce EqualSid InitializeSid GetSidLengthRequired"
        )),
        **since(Q35, (
            "LsaClose LsaFreeMemory LsaOpenPolicy LsaQueryInformationPolicy "
            "LsaSetInformationPolicy LsaRetrievePrivateData"
        )),
        **since(Q351, "LsaNtStatusToWinError"),
        **since(Q40, (
            "BuildExplicitAccessWithNameA GetNamedSecurityInfoA SetEntriesInAclA "
            "SetNamedSecurityInfoA"
        )),
    },
    "kernel32.dll": {
        **since(Q31, (
            "CloseHandle CompareStringA CopyFileA CreateDirectoryA CreateEventA CreateFileA "
            "CreateMutexA CreateProcessA CreateSemaphoreW CreateThread DeleteCriticalSection "
            "DeleteFileA EnterCriticalSection ExitProcess ExitThread ExpandEnvironmentStringsA "
            "FindClose FindFirstFileA FindNextFileA FormatMessageA FreeLibrary GetComputerNameA "
            "GetCurrentProcess GetCurrentProcessId GetCurrentThread GetCurrentThreadId "
            "GetDriveTypeA GetFileAttributesA GetLastError GetLogicalDriveStringsA "
            "GetModuleFileNameA GetModuleHandleA GetModuleHandleW GetProcAddress GetStartupInfoA "
            "GetSystemDirectoryA GetWindowsDirectoryA GetSystemTime GetTempFileNameA GetTempPathA "
            "GetTickCount GetVolumeInformationA GlobalMemoryStatus InitializeCriticalSection "
            "IsDBCSLeadByte IsDBCSLeadByteEx LeaveCriticalSection LoadLibraryA LoadLibraryW "
            "LocalAlloc LocalFree MoveFileExA MultiByteToWideChar ReleaseMutex ReleaseSemaphore "
            "RemoveDirectoryA ResumeThread SetComputerNameA SetEvent ResetEvent "
            "SetFileAttributesA SetLastError SetUnhandledExceptionFilter Sleep SuspendThread "
            "TerminateThread TlsAlloc TlsFree TlsGetValue TlsSetValue VirtualProtect VirtualQuery "
            "WaitForSingleObject WideCharToMultiByte WritePrivateProfileStringA "
            "GetPrivateProfileStringA lstrcmpiA lstrlenA lstrcpynA GetExitCodeProcess "
            "GetExitCodeThread ReadFile WriteFile GetFileSize SetFilePointer FlushFileBuffers "
            "GetFullPathNameA GetLocalTime FileTimeToSystemTime GetEnvironmentVariableA "
            "CreateFileMappingA MapViewOfFile UnmapViewOfFile FlushViewOfFile"
        )),
        **since(Q351, "GetVersionExA"),
        **since(Q40, "GetFileAttributesExA"),
    },
    "user32.dll": {
        **since(Q31, (
            "AppendMenuA CallWindowProcA CheckDlgButton CheckRadioButton CloseDesktop "
            "CloseWindowStation CreateWindowExA DefWindowProcA DestroyWindow DialogBoxParamA "
            "DispatchMessageA DrawMenuBar EnableMenuItem EnableWindow EndDialog EnumChildWindows "
            "EnumDesktopWindows EnumWindows FindWindowA GetDesktopWindow GetDlgItem "
            "GetDlgItemTextA GetMessageA GetParent GetProcessWindowStation GetSystemMenu "
            "GetThreadDesktop GetUserObjectInformationA GetWindowLongA GetWindowRect "
            "GetClientRect GetWindowTextA GetWindowTextLengthA IsDlgButtonChecked IsIconic "
            "IsWindow IsWindowVisible KillTimer LoadBitmapA LoadCursorA LoadIconA LoadStringA "
            "MessageBoxA MoveWindow OpenDesktopA OpenInputDesktop OpenWindowStationA PeekMessageA "
            "PostMessageA PostQuitMessage RedrawWindow RegisterClassA SendDlgItemMessageA "
            "SendMessageA SendNotifyMessageA SetDlgItemTextA SetFocus SetForegroundWindow "
            "SetProcessWindowStation SetThreadDesktop SetTimer SetWindowLongA SetWindowPos "
            "SetWindowTextA ShowWindow TranslateMessage UpdateWindow IsDialogMessageA "
            "CreateDialogParamA GetSystemMetrics keybd_event"
        )),
        **since(Q40, "LoadImageA"),
    },
    "gdi32.dll": since(Q31, "GetStockObject DeleteObject"),
    "netapi32.dll": since(Q31, (
        "NetApiBufferFree NetGetDCName NetUseAdd NetUseDel NetUserGetInfo NetUserAdd NetUserDel "
        "NetWkstaUserGetInfo NetWkstaGetInfo"
    )),
    "comctl32.dll": since(CC, (
        "PropertySheetA CreatePropertySheetPageA DestroyPropertySheetPage InitCommonControls"
    )),
    "comdlg32.dll": since(CC, "GetOpenFileNameA GetSaveFileNameA CommDlgExtendedError"),
    "shell32.dll": since(Q40, "SHBrowseForFolderA SHGetPathFromIDListA"),
    "msvcrt.dll": since(CRT, (
        "__getmainargs __initenv __mb_cur_max __p__acmdln __p__commode __p__fmode __set_app_type "
        "__setusermatherr _amsg_exit _cexit _close _errno _initterm _iob _lock _onexit _read "
        "_stat _unlock _write _open _lseek _strdup _stricmp _strnicmp _snprintf _vsnprintf "
        "_fileno _setmode _isatty _getpid _access _unlink abort atoi atol calloc exit fclose feof "
        "ferror fflush fgetc fgets fopen fprintf fputc fputs fread free fseek ftell fwrite "
        "localeconv malloc memchr memcmp memcpy memmove memset realloc setlocale setvbuf signal "
        "sprintf sscanf strcat strchr strcmp strcpy strerror strlen strncat strncmp strncpy "
        "strrchr strstr strtol strtoul time tolower toupper ungetc vfprintf vsprintf wcslen "
        "wcscpy wcsncpy wcscmp _wcsicmp qsort getenv isalpha isdigit isspace isalnum isprint"
    )),
}


def objdump_for(exe):
    # Debian's objdump reads both PE formats; each MinGW one reads only its own.
    machine = "x86_64" if open(exe, "rb").read(4096).find(b"PE\0\0d\x86") >= 0 else "i686"
    for tool in ("objdump", f"{machine}-w64-mingw32-objdump"):
        path = shutil.which(tool)
        if path:
            return path
    sys.exit("check_imports: no objdump found (install binutils)")


def read_imports(exe):
    """{dll (lower case): [function names]} from objdump -p; ordinals as '#N'."""
    text = subprocess.run([objdump_for(exe), "-p", exe], check=True, capture_output=True,
                          text=True).stdout
    imports, dll, on = {}, None, False
    for line in text.splitlines():
        if line.startswith("The Import Tables"):
            on = True
            continue
        if on and (line.startswith("The Export Tables") or line.startswith("PE File Base")
                   or line.startswith("The Function Table") or line.startswith("The .rsrc")):
            break
        if not on:
            continue
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            dll = m.group(1).lower()
            imports.setdefault(dll, [])
            continue
        m = re.match(r"\t[0-9a-f]+\t\s*(\d+)\s+(\S+)", line)
        if m and dll:
            imports[dll].append(m.group(2))
            continue
        m = re.match(r"\t[0-9a-f]+\t\s*(\d+)\s*$", line)  # by ordinal
        if m and dll:
            imports[dll].append("#" + m.group(1))
    if not imports:
        sys.exit(f"check_imports: no import table read from {exe}")
    return imports


def check(exe, nt4):
    """The faults found in one program, one line each."""
    faults = []
    for dll, names in sorted(read_imports(exe).items()):
        if dll not in SYSTEM_DLLS:
            faults.append(f"{exe}: needs {dll}, which is not part of Windows")
            continue
        for name in names:
            if name in BOUND_BY_NAME:
                faults.append(f"{exe}: imports {dll}!{name} directly; it must be bound by name")
            elif nt4 and name not in NT4_EXPORTS.get(dll, {}):
                faults.append(f"{exe}: imports {dll}!{name}, which is not on the list of "
                              f"Windows NT 4.0 exports (add it only with its source)")
    return faults


PLANTED = r"""
#include <windows.h>
#include <lm.h>
int main(void) {
    LPBYTE b = 0;
    SetComputerNameExA(ComputerNamePhysicalDnsHostname, "X");
    NetServerGetInfo(0, 101, &b);
    return (int)GetTickCount64();
}
"""


def planted():
    """A program with one import of each wrong kind: every one must be reported."""
    expected = {
        "i686-w64-mingw32-gcc": ["kernel32.dll!SetComputerNameExA directly",
                                 "netapi32.dll!NetServerGetInfo directly",
                                 "kernel32.dll!GetTickCount64, which is not on the list",
                                 "needs libplanted.dll"],
        "x86_64-w64-mingw32-gcc": ["kernel32.dll!SetComputerNameExA directly",
                                   "netapi32.dll!NetServerGetInfo directly",
                                   "needs libplanted.dll"],
    }
    failed = False
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "planted.c")
        with open(src, "w") as f:
            f.write(PLANTED.replace("int main", "__declspec(dllimport) int planted(void);\nint main")
                    .replace("return (int)", "return planted() + (int)"))
        lib = os.path.join(tmp, "lib.c")
        with open(lib, "w") as f:
            f.write("__declspec(dllexport) int planted(void) { return 0; }\n")
        for cc, wanted in expected.items():
            if not shutil.which(cc):
                print(f"check_imports: {cc} missing")
                return 1
            dll = os.path.join(tmp, "libplanted.dll")
            exe = os.path.join(tmp, "planted.exe")
            subprocess.run([cc, "-shared", "-o", dll, lib], check=True)
            subprocess.run([cc, "-D_WIN32_WINNT=0x0600", "-o", exe, src, dll, "-lnetapi32"],
                           check=True)
            faults = check(exe, nt4=cc.startswith("i686"))
            for want in wanted:
                if not any(want in fault for fault in faults):
                    print(f"check_imports: planted fault not found ({cc}): {want}")
                    failed = True
            # The x86_64 program is not held to Windows NT 4.0.
            if cc.startswith("x86_64") and any("not on the list" in f for f in faults):
                print("check_imports: the x86_64 program was checked against NT 4.0")
                failed = True
            os.remove(dll)
    print("check_imports: planted imports " + ("NOT all found" if failed else "all found"))
    return 1 if failed else 0


def main(argv):
    if argv == ["--planted"]:
        return planted()
    programs = list(zip(argv[0::2], argv[1::2]))
    faults, checked, missing = [], 0, []
    for kind, exe in programs:
        if not os.path.exists(exe):
            missing.append(exe)
            continue
        found = check(exe, nt4=(kind == "--i686"))
        faults += found
        checked += 1
        print(f"check_imports: {exe}: {sum(len(v) for v in read_imports(exe).values())} "
              f"imports, {len(found)} faults")
    for fault in faults:
        print(fault)
    if missing:
        print("check_imports: not built: " + ", ".join(missing) +
              " (build the win32 and win64 presets)")
        if os.environ.get("CI") == "true":
            return 1
        if not faults:
            return 77
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
