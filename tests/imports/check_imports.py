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
    "LsaSetTrustedDomainInformation", "LsaStorePrivateData",
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
#       GetNamedSecurityInfo, SetNamedSecurityInfo).
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

NT4_EXPORTS = {
    "advapi32.dll": {
        "AdjustTokenPrivileges": Q31, "AllocateAndInitializeSid": Q31,
        "BuildExplicitAccessWithNameA": Q40, "CloseServiceHandle": Q31, "CopySid": Q31,
        "CreateServiceA": Q31, "DeleteService": Q31, "DeregisterEventSource": Q31,
        "FreeSid": Q31, "GetLengthSid": Q31, "GetNamedSecurityInfoA": Q40,
        "GetSecurityDescriptorControl": Q31, "GetSidSubAuthority": Q31,
        "GetSidSubAuthorityCount": Q31, "GetUserNameA": Q31, "InitiateSystemShutdownA": Q31,
        "IsValidAcl": Q31, "IsValidSid": Q31, "LookupAccountNameA": Q31,
        "LookupAccountSidA": Q31, "LookupPrivilegeValueA": Q31, "LsaClose": Q35,
        "LsaFreeMemory": Q35, "LsaNtStatusToWinError": Q351, "LsaOpenPolicy": Q35,
        "LsaQueryInformationPolicy": Q35, "LsaSetInformationPolicy": Q35,
        "LsaRetrievePrivateData": Q35, "OpenProcessToken": Q31, "OpenSCManagerA": Q31,
        "OpenServiceA": Q31, "QueryServiceConfigA": Q31, "QueryServiceStatus": Q31,
        "ControlService": Q31, "StartServiceA": Q31, "ChangeServiceConfigA": Q31,
        "RegCloseKey": Q31, "RegCreateKeyExA": Q31, "RegDeleteKeyA": Q31,
        "RegDeleteValueA": Q31, "RegEnumKeyExA": Q31, "RegEnumValueA": Q31,
        "RegFlushKey": Q31, "RegGetKeySecurity": Q31, "RegLoadKeyA": Q31,
        "RegOpenKeyA": Q31, "RegOpenKeyExA": Q31, "RegQueryInfoKeyA": Q31,
        "RegQueryValueExA": Q31, "RegReplaceKeyA": Q31, "RegRestoreKeyA": Q31,
        "RegSaveKeyA": Q31, "RegSetKeySecurity": Q31, "RegSetValueExA": Q31,
        "RegUnLoadKeyA": Q31, "RegisterEventSourceA": Q31,
        "RegisterServiceCtrlHandlerA": Q31, "ReportEventA": Q31, "SetEntriesInAclA": Q40,
        "SetNamedSecurityInfoA": Q40, "SetServiceStatus": Q31,
        "StartServiceCtrlDispatcherA": Q31, "GetTokenInformation": Q31,
        "InitializeSecurityDescriptor": Q31, "SetSecurityDescriptorDacl": Q31,
        "GetSecurityDescriptorDacl": Q31, "GetSecurityDescriptorOwner": Q31,
        "GetSecurityDescriptorGroup": Q31, "GetSecurityDescriptorSacl": Q31,
        "GetSecurityDescriptorLength": Q31, "GetAce": Q31, "EqualSid": Q31,
        "InitializeSid": Q31, "GetSidLengthRequired": Q31,
    },
    "kernel32.dll": {
        "CloseHandle": Q31, "CompareStringA": Q31, "CopyFileA": Q31,
        "CreateDirectoryA": Q31, "CreateEventA": Q31, "CreateFileA": Q31,
        "CreateMutexA": Q31, "CreateProcessA": Q31, "CreateSemaphoreW": Q31,
        "CreateThread": Q31, "DeleteCriticalSection": Q31, "DeleteFileA": Q31,
        "EnterCriticalSection": Q31, "ExitProcess": Q31, "ExitThread": Q31,
        "ExpandEnvironmentStringsA": Q31, "FindClose": Q31, "FindFirstFileA": Q31,
        "FindNextFileA": Q31, "FormatMessageA": Q31, "FreeLibrary": Q31,
        "GetComputerNameA": Q31, "GetCurrentProcess": Q31, "GetCurrentProcessId": Q31,
        "GetCurrentThread": Q31, "GetCurrentThreadId": Q31, "GetDriveTypeA": Q31,
        "GetFileAttributesA": Q31, "GetFileAttributesExA": Q40, "GetLastError": Q31,
        "GetLogicalDriveStringsA": Q31, "GetModuleFileNameA": Q31,
        "GetModuleHandleA": Q31, "GetModuleHandleW": Q31, "GetProcAddress": Q31,
        "GetStartupInfoA": Q31, "GetSystemDirectoryA": Q31, "GetWindowsDirectoryA": Q31,
        "GetSystemTime": Q31, "GetTempFileNameA": Q31, "GetTempPathA": Q31,
        "GetTickCount": Q31, "GetVersionExA": Q351, "GetVolumeInformationA": Q31,
        "GlobalMemoryStatus": Q31, "InitializeCriticalSection": Q31,
        "IsDBCSLeadByte": Q31, "IsDBCSLeadByteEx": Q31, "LeaveCriticalSection": Q31,
        "LoadLibraryA": Q31, "LoadLibraryW": Q31, "LocalAlloc": Q31, "LocalFree": Q31,
        "MoveFileExA": Q31, "MultiByteToWideChar": Q31, "ReleaseMutex": Q31,
        "ReleaseSemaphore": Q31, "RemoveDirectoryA": Q31, "ResumeThread": Q31,
        "SetComputerNameA": Q31, "SetEvent": Q31, "ResetEvent": Q31,
        "SetFileAttributesA": Q31, "SetLastError": Q31, "SetUnhandledExceptionFilter": Q31,
        "Sleep": Q31, "SuspendThread": Q31, "TerminateThread": Q31, "TlsAlloc": Q31,
        "TlsFree": Q31, "TlsGetValue": Q31, "TlsSetValue": Q31, "VirtualProtect": Q31,
        "VirtualQuery": Q31, "WaitForSingleObject": Q31, "WideCharToMultiByte": Q31,
        "WritePrivateProfileStringA": Q31, "GetPrivateProfileStringA": Q31,
        "lstrcmpiA": Q31, "lstrlenA": Q31, "lstrcpynA": Q31, "GetExitCodeProcess": Q31,
        "GetExitCodeThread": Q31, "ReadFile": Q31, "WriteFile": Q31, "GetFileSize": Q31,
        "SetFilePointer": Q31, "FlushFileBuffers": Q31, "GetFullPathNameA": Q31,
        "GetLocalTime": Q31, "FileTimeToSystemTime": Q31, "GetEnvironmentVariableA": Q31,
    },
    "user32.dll": {
        "AppendMenuA": Q31, "CallWindowProcA": Q31, "CheckDlgButton": Q31,
        "CheckRadioButton": Q31, "CloseDesktop": Q31, "CloseWindowStation": Q31,
        "CreateWindowExA": Q31, "DefWindowProcA": Q31, "DestroyWindow": Q31,
        "DialogBoxParamA": Q31, "DispatchMessageA": Q31, "DrawMenuBar": Q31,
        "EnableMenuItem": Q31, "EnableWindow": Q31, "EndDialog": Q31,
        "EnumChildWindows": Q31, "EnumDesktopWindows": Q31, "EnumWindows": Q31,
        "FindWindowA": Q31, "GetDesktopWindow": Q31, "GetDlgItem": Q31,
        "GetDlgItemTextA": Q31, "GetMessageA": Q31, "GetParent": Q31,
        "GetProcessWindowStation": Q31, "GetSystemMenu": Q31, "GetThreadDesktop": Q31,
        "GetUserObjectInformationA": Q31, "GetWindowLongA": Q31, "GetWindowRect": Q31,
        "GetClientRect": Q31, "GetWindowTextA": Q31, "GetWindowTextLengthA": Q31,
        "IsDlgButtonChecked": Q31, "IsIconic": Q31, "IsWindow": Q31,
        "IsWindowVisible": Q31, "KillTimer": Q31, "LoadBitmapA": Q31, "LoadCursorA": Q31,
        "LoadIconA": Q31, "LoadImageA": Q40, "LoadStringA": Q31, "MessageBoxA": Q31,
        "MoveWindow": Q31, "OpenDesktopA": Q31, "OpenInputDesktop": Q31,
        "OpenWindowStationA": Q31, "PeekMessageA": Q31, "PostMessageA": Q31,
        "PostQuitMessage": Q31, "RedrawWindow": Q31, "RegisterClassA": Q31,
        "SendDlgItemMessageA": Q31, "SendMessageA": Q31, "SendNotifyMessageA": Q31,
        "SetDlgItemTextA": Q31, "SetFocus": Q31, "SetForegroundWindow": Q31,
        "SetProcessWindowStation": Q31, "SetThreadDesktop": Q31, "SetTimer": Q31,
        "SetWindowLongA": Q31, "SetWindowPos": Q31, "SetWindowTextA": Q31,
        "ShowWindow": Q31, "TranslateMessage": Q31, "UpdateWindow": Q31,
        "IsDialogMessageA": Q31, "CreateDialogParamA": Q31, "GetSystemMetrics": Q31,
        "keybd_event": Q31,
    },
    "gdi32.dll": {"GetStockObject": Q31, "DeleteObject": Q31},
    "netapi32.dll": {
        "NetApiBufferFree": Q31, "NetGetDCName": Q31, "NetUseAdd": Q31, "NetUseDel": Q31,
        "NetUserGetInfo": Q31, "NetUserAdd": Q31, "NetUserDel": Q31,
        "NetWkstaUserGetInfo": Q31, "NetWkstaGetInfo": Q31,
    },
    "comctl32.dll": {"PropertySheetA": CC, "CreatePropertySheetPageA": CC, "DestroyPropertySheetPage": CC,
                     "InitCommonControls": CC},
    "comdlg32.dll": {"GetOpenFileNameA": CC, "GetSaveFileNameA": CC,
                     "CommDlgExtendedError": CC},
    "shell32.dll": {"SHBrowseForFolderA": Q40, "SHGetPathFromIDListA": Q40},
    "msvcrt.dll": {name: CRT for name in (
        "__getmainargs __initenv __mb_cur_max __p__acmdln __p__commode __p__fmode "
        "__set_app_type __setusermatherr _amsg_exit _cexit _close _errno _initterm _iob "
        "_lock _onexit _read _stat _unlock _write _open _lseek _strdup _stricmp _strnicmp "
        "_snprintf _vsnprintf _fileno _setmode _isatty _getpid _access _unlink abort atoi "
        "atol calloc exit fclose feof ferror fflush fgetc fgets fopen fprintf fputc fputs "
        "fread free fseek ftell fwrite localeconv malloc memchr memcmp memcpy memmove "
        "memset realloc setlocale setvbuf signal sprintf sscanf strcat strchr strcmp "
        "strcpy strerror strlen strncat strncmp strncpy strrchr strstr strtol strtoul "
        "time tolower toupper ungetc vfprintf vsprintf wcslen wcscpy wcsncpy wcscmp "
        "_wcsicmp qsort getenv isalpha isdigit isspace isalnum isprint").split()},
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
