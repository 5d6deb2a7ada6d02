// The two clocks the module reads. The system clock gives the four
// timestamps of an exchange and the new time of a step, and says what local
// time a text names. Every wait (the spacing of requests, a server's
// back-off, what is remembered of a server) is timed on the monotonic
// counter instead, which no setting of the clock moves, by this module or
// any other program.
#pragma once

#include <cstdint>

// The system time as a FILETIME count: from the precise clock where the
// system has one, since the coarse one may tick only every 15.6 ms.
uint64_t system_time_now();

// The step of the clock system_time_now reads, in 100-ns units.
uint64_t system_clock_step();

// Milliseconds of the system's tick count (GetTickCount), which setting the
// clock never moves, carried into 64 bits across its wrap every 49.7 days.
// Called on the host's window thread only.
uint64_t monotonic_ms();
