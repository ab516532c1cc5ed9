// The clock and the pause of the Windows players that tests/avsync/wine.py
// runs under Wine: the monotonic clock (the performance counter, as the
// program's steady clock), and a pause of half a millisecond between
// readings, which neither nanosleep (it rounds down to no pause at all) nor
// Sleep (whole milliseconds) gives.
#pragma once

#include <windows.h>

#include <time.h>

static long long monotonicNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

static void pauseHalfMillisecond() {
    // In 100 ns units, negative for "from now". Windows itself rounds it up
    // to its timer's granularity.
    typedef LONG(WINAPI * Delay)(BOOLEAN, const LARGE_INTEGER*);
    static Delay delay = reinterpret_cast<Delay>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtDelayExecution")));
    LARGE_INTEGER interval;
    interval.QuadPart = -5000;
    if (delay)
        delay(FALSE, &interval);
    else
        Sleep(1);
}
