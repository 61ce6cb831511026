// The patch run's stop flag.
//
// One process-wide flag says that the run must stop: the user confirmed
// Cancel, gave up on a question (for instance too little disk space), or a
// step decided that nothing more may be done. Once the run is over it also
// means that the window may close without asking. The patcher window's
// m_bQuitRequested is this flag; the download code reads and sets it through
// these two functions.
//
// Starts clear. Thread-safe: the flag is a single atomic word, read and
// written from the user-interface thread and, rarely, the download worker.
#pragma once

bool IsQuitRequested();
void SetQuitRequested(bool a_bQuit);
