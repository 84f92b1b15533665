// A stand-in for the board child in the watchdog tests. Each start appends
// one line to runs.log in its working directory (start tick, working
// directory, command line), then follows line N of plan.txt ("code ms": live
// ms milliseconds, then exit with code), where N counts earlier starts. With
// no plan line left it exits with 11 so the watchdog under test ends.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain() {
    int runs = 0;
    if (FILE* log = _wfopen(L"runs.log", L"r")) {
        wchar_t line[2048];
        while (fgetws(line, 2048, log) != nullptr) {
            ++runs;
        }
        fclose(log);
    }
    wchar_t directory[MAX_PATH] = {0};
    GetCurrentDirectoryW(MAX_PATH, directory);
    if (FILE* log = _wfopen(L"runs.log", L"a")) {
        fwprintf(log, L"%lu|%ls|%ls\n", GetTickCount(), directory, GetCommandLineW());
        fclose(log);
    }
    int code = 11;
    int lifeMs = 0;
    if (FILE* plan = _wfopen(L"plan.txt", L"r")) {
        for (int i = 0; i <= runs; ++i) {
            if (fwscanf(plan, L"%d %d", &code, &lifeMs) != 2) {
                code = 11;
                lifeMs = 0;
                break;
            }
        }
        fclose(plan);
    }
    Sleep(static_cast<DWORD>(lifeMs));
    return code;
}
