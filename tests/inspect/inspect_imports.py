#!/usr/bin/env python3
"""Every function the shipped images import, checked against the oldest
Windows the product runs on (Vista): each DLL!function must be in the table
below, which gives the "Minimum supported client" of Microsoft's
documentation for it, and that version must not be newer than Vista. A
function newer than Vista must be late-bound (LoadLibrary/GetProcAddress) and
so never appears in an import table; a missing export makes the loader refuse
the whole program.

The import tables are read with objdump -p (binutils for the image's machine).

Usage: inspect_imports.py [--objdump TOOL] IMAGE...
"""

import argparse
import re
import subprocess
import sys
from pathlib import Path

ORDER = ["2000", "XP", "Vista", "7", "8", "8.1", "10"]
OLDEST = "Vista"

# DLL function minimum-client. The x64 images' unwinding entries of kernel32
# (Rtl*, __C_specific_handler) came with the first 64-bit Windows, XP x64.
# msvcrt.dll is the system's C runtime, on every Windows since 2000;
# Microsoft documents no minimum per function of it: the functions below are
# the runtime's own since 2000, the x64 ones since the first 64-bit Windows
# (the later *_s functions, which Vista's copy added, are not among them).
TABLE = """
advapi32.dll AdjustTokenPrivileges XP
advapi32.dll ChangeServiceConfig2W XP
advapi32.dll ChangeServiceConfigW XP
advapi32.dll CloseServiceHandle XP
advapi32.dll ControlService XP
advapi32.dll ConvertSidToStringSidW XP
advapi32.dll ConvertStringSecurityDescriptorToSecurityDescriptorW XP
advapi32.dll CreateProcessAsUserW XP
advapi32.dll CreateServiceW XP
advapi32.dll CreateWellKnownSid XP
advapi32.dll DeleteService XP
advapi32.dll DeregisterEventSource 2000
advapi32.dll DuplicateTokenEx XP
advapi32.dll EqualSid XP
advapi32.dll GetLengthSid XP
advapi32.dll GetSecurityDescriptorDacl XP
advapi32.dll GetSecurityInfo XP
advapi32.dll GetTokenInformation XP
advapi32.dll IsValidSid XP
advapi32.dll IsWellKnownSid XP
advapi32.dll LookupPrivilegeValueW XP
advapi32.dll OpenProcessToken XP
advapi32.dll OpenSCManagerW XP
advapi32.dll OpenServiceW XP
advapi32.dll QueryServiceConfigW XP
advapi32.dll QueryServiceStatus XP
advapi32.dll QueryServiceStatusEx XP
advapi32.dll RegCloseKey 2000
advapi32.dll RegCreateKeyExW 2000
advapi32.dll RegDeleteKeyW 2000
advapi32.dll RegDeleteValueW 2000
advapi32.dll RegEnumKeyExW 2000
advapi32.dll RegEnumValueW 2000
advapi32.dll RegisterEventSourceW 2000
advapi32.dll RegisterServiceCtrlHandlerW XP
advapi32.dll RegNotifyChangeKeyValue 2000
advapi32.dll RegOpenKeyExW 2000
advapi32.dll RegQueryInfoKeyW 2000
advapi32.dll RegQueryValueExW 2000
advapi32.dll RegSetValueExW 2000
advapi32.dll ReportEventW 2000
advapi32.dll SetNamedSecurityInfoW XP
advapi32.dll SetServiceStatus XP
advapi32.dll SetTokenInformation XP
advapi32.dll StartServiceCtrlDispatcherW XP
advapi32.dll StartServiceW XP
comctl32.dll InitCommonControlsEx Vista
gdi32.dll BitBlt 2000
gdi32.dll CreateBitmap 2000
gdi32.dll CreateCompatibleBitmap 2000
gdi32.dll CreateCompatibleDC 2000
gdi32.dll CreateDIBSection 2000
gdi32.dll CreateFontIndirectW 2000
gdi32.dll CreatePen 2000
gdi32.dll CreateSolidBrush 2000
gdi32.dll DeleteDC 2000
gdi32.dll DeleteObject 2000
gdi32.dll GdiFlush 2000
gdi32.dll GetDeviceCaps 2000
gdi32.dll LineTo 2000
gdi32.dll MoveToEx 2000
gdi32.dll PatBlt 2000
gdi32.dll Polyline 2000
gdi32.dll SelectObject 2000
gdi32.dll SetBkMode 2000
gdi32.dll SetTextColor 2000
gdi32.dll TextOutW 2000
kernel32.dll __C_specific_handler XP
kernel32.dll AddSIDToBoundaryDescriptor Vista
kernel32.dll AddVectoredExceptionHandler XP
kernel32.dll CloseHandle 2000
kernel32.dll ClosePrivateNamespace Vista
kernel32.dll CompareStringW 2000
kernel32.dll CreateBoundaryDescriptorW Vista
kernel32.dll CreateEventA XP
kernel32.dll CreateEventW XP
kernel32.dll CreateFileMappingW XP
kernel32.dll CreateFileW XP
kernel32.dll CreateMutexW XP
kernel32.dll CreatePipe 2000
kernel32.dll CreatePrivateNamespaceW Vista
kernel32.dll CreateProcessW XP
kernel32.dll CreateSemaphoreA XP
kernel32.dll CreateThread XP
kernel32.dll CreateToolhelp32Snapshot XP
kernel32.dll DeleteBoundaryDescriptor Vista
kernel32.dll DeleteCriticalSection XP
kernel32.dll DuplicateHandle 2000
kernel32.dll EnterCriticalSection XP
kernel32.dll ExitProcess XP
kernel32.dll FindResourceW XP
kernel32.dll FormatMessageW XP
kernel32.dll FreeLibrary XP
kernel32.dll GetACP 2000
kernel32.dll GetCommandLineW XP
kernel32.dll GetConsoleMode 2000
kernel32.dll GetCurrentProcess XP
kernel32.dll GetCurrentProcessId XP
kernel32.dll GetCurrentThread XP
kernel32.dll GetCurrentThreadId XP
kernel32.dll GetExitCodeProcess XP
kernel32.dll GetHandleInformation 2000
kernel32.dll GetLastError XP
kernel32.dll GetModuleFileNameW XP
kernel32.dll GetModuleHandleA XP
kernel32.dll GetModuleHandleW XP
kernel32.dll GetNativeSystemInfo XP
kernel32.dll GetProcAddress XP
kernel32.dll GetProcessAffinityMask XP
kernel32.dll GetProcessTimes XP
kernel32.dll GetStartupInfoW XP
kernel32.dll GetStdHandle 2000
kernel32.dll GetSystemInfo 2000
kernel32.dll GetSystemPowerStatus XP
kernel32.dll GetSystemTimeAsFileTime 2000
kernel32.dll GetThreadContext XP
kernel32.dll GetThreadPriority XP
kernel32.dll GetTickCount64 Vista
kernel32.dll GetTimeZoneInformation 2000
kernel32.dll GetUserDefaultUILanguage 2000
kernel32.dll GetVersionExW 2000
kernel32.dll GlobalMemoryStatusEx 2000
kernel32.dll InitializeCriticalSection XP
kernel32.dll IsDBCSLeadByteEx 2000
kernel32.dll IsDebuggerPresent XP
kernel32.dll LeaveCriticalSection XP
kernel32.dll LoadLibraryA XP
kernel32.dll LoadLibraryExW XP
kernel32.dll LoadLibraryW XP
kernel32.dll LoadResource XP
kernel32.dll LocalFree XP
kernel32.dll LockResource XP
kernel32.dll lstrcmpiW 2000
kernel32.dll lstrcpynW 2000
kernel32.dll lstrlenW 2000
kernel32.dll MapViewOfFile XP
kernel32.dll MulDiv 2000
kernel32.dll MultiByteToWideChar 2000
kernel32.dll OpenPrivateNamespaceW Vista
kernel32.dll OpenProcess XP
kernel32.dll OutputDebugStringA XP
kernel32.dll PeekNamedPipe 2000
kernel32.dll Process32FirstW XP
kernel32.dll Process32NextW XP
kernel32.dll ProcessIdToSessionId XP
kernel32.dll QueryFullProcessImageNameW Vista
kernel32.dll RaiseException XP
kernel32.dll ReadFile XP
kernel32.dll ReleaseMutex XP
kernel32.dll ReleaseSemaphore XP
kernel32.dll RemoveVectoredExceptionHandler XP
kernel32.dll ResetEvent XP
kernel32.dll ResumeThread XP
kernel32.dll RtlCaptureContext XP
kernel32.dll RtlLookupFunctionEntry XP
kernel32.dll RtlUnwindEx XP
kernel32.dll RtlVirtualUnwind XP
kernel32.dll SetEvent XP
kernel32.dll SetHandleInformation 2000
kernel32.dll SetLastError XP
kernel32.dll SetPriorityClass XP
kernel32.dll SetProcessAffinityMask XP
kernel32.dll SetThreadContext XP
kernel32.dll SetThreadPriority XP
kernel32.dll SetUnhandledExceptionFilter XP
kernel32.dll SizeofResource XP
kernel32.dll Sleep XP
kernel32.dll SuspendThread XP
kernel32.dll SwitchToThread XP
kernel32.dll TerminateProcess XP
kernel32.dll TlsAlloc XP
kernel32.dll TlsGetValue XP
kernel32.dll TlsSetValue XP
kernel32.dll TryEnterCriticalSection XP
kernel32.dll UnmapViewOfFile XP
kernel32.dll VirtualProtect XP
kernel32.dll VirtualQuery XP
kernel32.dll WaitForMultipleObjects XP
kernel32.dll WaitForSingleObject XP
kernel32.dll WideCharToMultiByte 2000
kernel32.dll WriteConsoleW 2000
kernel32.dll WriteFile XP
kernel32.dll WTSGetActiveConsoleSessionId XP
ole32.dll CoInitialize 2000
ole32.dll CoUninitialize 2000
psapi.dll EmptyWorkingSet XP
psapi.dll GetProcessMemoryInfo XP
shell32.dll CommandLineToArgvW 2000
shell32.dll Shell_NotifyIconW XP
shell32.dll ShellExecuteExW XP
shell32.dll ShellExecuteW XP
user32.dll AdjustWindowRectEx 2000
user32.dll AllowSetForegroundWindow 2000
user32.dll AppendMenuW 2000
user32.dll BeginPaint 2000
user32.dll ChangeWindowMessageFilter Vista
user32.dll CreateIconIndirect 2000
user32.dll CreatePopupMenu 2000
user32.dll CreateWindowExW 2000
user32.dll DefWindowProcW 2000
user32.dll DestroyIcon 2000
user32.dll DestroyMenu 2000
user32.dll DestroyWindow 2000
user32.dll DispatchMessageW 2000
user32.dll DrawTextW 2000
user32.dll EnableWindow 2000
user32.dll EndPaint 2000
user32.dll EnumChildWindows 2000
user32.dll FillRect 2000
user32.dll FindWindowW 2000
user32.dll FrameRect 2000
user32.dll GetClassNameW 2000
user32.dll GetClientRect 2000
user32.dll GetCursorPos 2000
user32.dll GetDC 2000
user32.dll GetFocus 2000
user32.dll GetForegroundWindow 2000
user32.dll GetMessageW 2000
user32.dll GetMonitorInfoW 2000
user32.dll GetParent 2000
user32.dll GetSysColor 2000
user32.dll GetSystemMetrics 2000
user32.dll GetWindowLongPtrW 2000
user32.dll GetWindowLongW 2000
user32.dll GetWindowRect 2000
user32.dll GetWindowTextLengthW 2000
user32.dll GetWindowTextW 2000
user32.dll GetWindowThreadProcessId 2000
user32.dll InvalidateRect 2000
user32.dll IsDialogMessageW 2000
user32.dll IsIconic 2000
user32.dll IsWindowEnabled 2000
user32.dll IsWindowVisible 2000
user32.dll KillTimer 2000
user32.dll LoadCursorW 2000
user32.dll LoadIconW 2000
user32.dll LoadStringW 2000
user32.dll MessageBoxW 2000
user32.dll MonitorFromWindow 2000
user32.dll MoveWindow 2000
user32.dll MsgWaitForMultipleObjectsEx 2000
user32.dll PeekMessageW 2000
user32.dll PostMessageW 2000
user32.dll PostQuitMessage 2000
user32.dll PostThreadMessageW 2000
user32.dll RegisterClassExW 2000
user32.dll RegisterClassW 2000
user32.dll RegisterWindowMessageW 2000
user32.dll ReleaseDC 2000
user32.dll SendMessageW 2000
user32.dll SetFocus 2000
user32.dll SetForegroundWindow 2000
user32.dll SetMenuDefaultItem 2000
user32.dll SetTimer 2000
user32.dll SetWindowLongPtrW 2000
user32.dll SetWindowLongW 2000
user32.dll SetWindowTextW 2000
user32.dll ShowOwnedPopups 2000
user32.dll ShowWindow 2000
user32.dll SystemParametersInfoW 2000
user32.dll TrackPopupMenu 2000
user32.dll TranslateMessage 2000
user32.dll UpdateWindow 2000
user32.dll ValidateRect 2000
user32.dll WaitMessage 2000
wtsapi32.dll WTSEnumerateSessionsW XP
wtsapi32.dll WTSFreeMemory XP
"""

MSVCRT = """
__mb_cur_max __p__commode __p__fmode __p__wcmdln __set_app_type __setusermatherr __wgetmainargs __winitenv
_amsg_exit _beginthreadex _cexit _endthreadex _errno _initterm _iob _onexit _setjmp3 _strdup _ultoa abort atoi
calloc exit fprintf fputc fputs fputwc free fwprintf fwrite localeconv longjmp malloc memcmp memcpy memmove memset
printf realloc setlocale signal strchr strcmp strerror strlen strncmp vfprintf wcslen
___lc_codepage_func ___mb_cur_max_func __iob_func _commode _fmode _setjmp _wcmdln
"""


def table():
    known = {}
    for line in TABLE.strip().splitlines():
        dll, function, version = line.split()
        assert version in ORDER, line
        known[(dll, function)] = version
    for function in MSVCRT.split():
        known[("msvcrt.dll", function)] = "2000"
    return known


def imports(image, objdump):
    """(dll, function) of every import by name; (dll, '#ordinal') by ordinal."""
    out = subprocess.run([objdump, "-p", str(image)], capture_output=True, text=True, check=True).stdout
    found, dll = [], None
    for line in out.splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            dll = m.group(1).lower()
            continue
        if dll is None:
            continue
        m = re.match(r"\t[0-9a-f]+\t\s*(\d+)\s+(\S+)\s*$", line)
        if m:
            found.append((dll, m.group(2)))
            continue
        m = re.match(r"\t[0-9a-f]+\t\s*(\d+)\s*$", line)  # by ordinal only
        if m:
            found.append((dll, "#" + m.group(1)))
        if line.startswith("The ") and "Table" in line and "Import" not in line:
            dll = None
    return found


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    parser.add_argument("images", nargs="+")
    args = parser.parse_args(argv)
    known = table()
    failures = 0
    for image in args.images:
        found = imports(image, args.objdump)
        if not found:
            print(f"FAIL {Path(image).name}: no imports read")
            failures += 1
            continue
        bad = []
        for dll, function in sorted(set(found)):
            version = known.get((dll, function))
            if version is None:
                bad.append(f"{dll}!{function}: not in the table of functions known to be on {OLDEST}")
            elif ORDER.index(version) > ORDER.index(OLDEST):
                bad.append(f"{dll}!{function}: needs Windows {version}, newer than {OLDEST}; late-bind it")
        dlls = sorted({d for d, _ in found})
        print(("ok   " if not bad else "FAIL ") + f"{Path(image).name}: {len(set(found))} imports from "
              + ", ".join(dlls))
        for line in bad:
            print("     " + line)
        failures += len(bad)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
