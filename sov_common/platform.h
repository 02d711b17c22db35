// Facts about the machine that the kernel reports: the kernel release, the processor
// word size and the executable of a process. Nothing here is cached.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace sov::supervisor {

enum class Architecture { None, X86, X86_64, IA64, Arm64 };

// Classifies a uname machine name ("i686", "x86_64", "aarch64" ...), ignoring case.
Architecture ArchitectureFromMachine(std::string_view machine);

// The kernel release of uname, e.g. "5.10.0-1-amd64". Throws std::system_error
// "uname failed" when uname fails.
std::string GetOsRelease();

// 64 on x86-64, IA-64 and ARM64, 32 on x86. Any other machine throws std::runtime_error
// "Unsupported architecture <machine>".
int GetBitness();
int BitnessOf(std::string_view machine);

// "/proc/<pid>/exe": read as a link, it names the executable that the process runs.
std::string ProcessExePath(pid_t pid);

// Whether both paths, links followed, name one file (device and inode): so a process's
// "/proc/<pid>/exe" is compared with the executable expected of it. False when either
// cannot be looked at.
bool IsSameFile(const std::string& left, const std::string& right);

}  // namespace sov::supervisor
