// The reload of the settings, run by the command loop (main thread).
#ifndef TARNWICK_COMMON_HOST_RELOAD_H
#define TARNWICK_COMMON_HOST_RELOAD_H

// Called for every request line: reloads when the marker file exists.
void CheckConfigUpdate();
// Called at least once a second by the command loop: looks for the marker
// by path when a request line came since the last look, as the watch may
// have gone blind (program directory replaced, network file system).
void CheckConfigUpdateLate();
// The descriptor that becomes readable when something changes in the
// program directory (-1 when there is none); whoever asks for it waits on
// it and calls ReloadWatchFired when it is readable, which returns false
// when the watch broke and must no longer be waited on.
int ReloadWatchFd();
bool ReloadWatchFired();
// Reads the settings again, reconnects and sends the pending requests again.
// The connect never waits: while the engine's queue of connections is full
// it is tried again by ContinueReload (from the loop and its tick).
void UpdateConfig();
void ContinueReload();

#endif
