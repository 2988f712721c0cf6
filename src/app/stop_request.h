// The one way a signal stops the program. SIGINT, SIGTERM and SIGHUP (a closed
// terminal) each request an orderly stop; the request is a flag and a byte in
// a pipe, set from the signal handler (async-signal-safe) and kept, so a
// signal at any moment of start-up is seen by the loop that runs afterwards.
// SIGPIPE is ignored: a closed standard output then fails as a write error
// (which the status output reports) instead of killing the logger.
#pragma once

#include <chrono>

namespace kvx {

// Installs the handlers; call first in main, before any other thread starts
// (so that no thread is left with a signal mask of its own). Idempotent.
void InstallStopSignalHandlers();

// Requests the stop (async-signal-safe). `signal` names the cause; 0 for a
// request from the program itself. The first cause is kept.
void RequestStop(int signal);

bool StopRequested();
int StopSignal();  // the signal of the first request; 0 if none or none by signal

// Becomes readable at the first request and stays readable, for an event
// loop to watch (never read from it). -1 before InstallStopSignalHandlers.
int StopWakeFd();

// Waits until a stop is requested or `timeout` has passed; true if requested.
bool WaitForStop(std::chrono::milliseconds timeout);

// "SIGINT", "SIGTERM", "SIGHUP", or "a signal" for any other.
const char* StopSignalName(int signal);

// Forgets the request (tests run several stops in one process).
void ClearStopRequest();

}  // namespace kvx
