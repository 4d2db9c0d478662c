// What the process needs of the system before anything else starts: done once, first thing in
// every entry point (the window, headless).
//
// Thread rule: call it on the main thread before any other thread starts, so that every thread
// inherits the signal disposition.
#pragma once

namespace gw::app {

// - SIGPIPE ignored: a reader that goes away (`gridwarden | head`, a closed terminal, a peer
//   that resets its socket) makes that write fail with EPIPE instead of ending the program in
//   the middle of a power failure.
// - SIGXFSZ ignored: under a file-size limit (`prlimit --fsize`, a unit's LimitFSIZE) the write
//   past it fails with EFBIG, which every writer already takes as a full disk, instead of ending
//   the program mid-countdown.
// - Standard input, output and error open: a descriptor left closed by whoever started us goes
//   to /dev/null, so that the journal or a socket never opens in its place and receives the
//   console's lines.
// - The soft limit of open files raised to the hard one: the servers' connections, the link,
//   the journal, the settings and the external program all draw on it, and the common soft
//   limit of 1024 is far below what the system allows.
// Each step that the system refuses is skipped; none of them is worth not starting for.
void PrepareProcess();

}  // namespace gw::app
