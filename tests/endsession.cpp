// endsession.exe TITLE: what Windows does to a program when the user logs off, to the window
// titled TITLE: WM_QUERYENDSESSION, WM_ENDSESSION, and the process ended as soon as that
// returns. Exit status 0 once done, 1 when there is no such window.
#include <windows.h>

int wmain(int argc, wchar_t** argv)
{
    const HWND window = argc == 2 ? FindWindowW(nullptr, argv[1]) : nullptr;
    if (!window)
        return 1;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    DWORD_PTR answer = 0;
    constexpr UINT kWaitMs = 5000; // as Windows waits for a program before it ends it
    SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, kWaitMs,
                        &answer);
    SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, kWaitMs,
                        &answer);
    TerminateProcess(process, 0);
    WaitForSingleObject(process, kWaitMs);
    CloseHandle(process);
    return 0;
}
