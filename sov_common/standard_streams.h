// A process started with a standard stream closed would hand that descriptor number to the
// next file it opens: the trace file opened as descriptor 2 would receive every console
// error, and a child would inherit it as its standard error.
#pragma once

namespace sov::tools {

// Opens the null device on each of descriptors 0, 1 and 2 that is not open. Call it first
// thing in main, before anything opens a file. Never fails: a descriptor that cannot be
// filled stays closed.
void EnsureStandardStreams();

}  // namespace sov::tools
