// The ELF header checks of a program before it is executed. Sizes are compared in 64 bits
// after checking each product against the file's size, so a header that claims a table far
// past the end cannot wrap around and pass.
#include "supervisor/common/process/loadable_executable.h"

#include "sov_common/unique_fd.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace sov::supervisor {
namespace {

using Ehdr = ElfW(Ehdr);
using Phdr = ElfW(Phdr);

constexpr unsigned char kClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr unsigned char kData = ELFDATA2LSB;
#else
constexpr unsigned char kData = ELFDATA2MSB;
#endif

#if defined(__x86_64__)
constexpr uint16_t kMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr uint16_t kMachine = EM_AARCH64;
#elif defined(__i386__)
constexpr uint16_t kMachine = EM_386;
#elif defined(__arm__)
constexpr uint16_t kMachine = EM_ARM;
#elif defined(__powerpc64__)
constexpr uint16_t kMachine = EM_PPC64;
#elif defined(__s390x__)
constexpr uint16_t kMachine = EM_S390;
#elif defined(__riscv)
constexpr uint16_t kMachine = EM_RISCV;
#else
#error "the machine type of this architecture is unknown"
#endif

// True when `count` entries of `size` bytes from `offset` lie within `fileSize`.
bool Within(uint64_t offset, uint64_t count, uint64_t size, uint64_t fileSize) {
  if (offset > fileSize || (size != 0 && count > (fileSize - offset) / size)) {
    return false;
  }
  return true;
}

bool ReadAt(int fd, void* buffer, size_t size, uint64_t offset) {
  auto* bytes = static_cast<char*>(buffer);
  while (size > 0) {
    const ssize_t got = pread(fd, bytes, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return false;
    }
    bytes += got;
    size -= static_cast<size_t>(got);
    offset += static_cast<uint64_t>(got);
  }
  return true;
}

std::string WhyNotThisMachine(const Ehdr& header) {
  if (header.e_ident[EI_CLASS] != kClass || header.e_ident[EI_DATA] != kData ||
      header.e_machine != kMachine) {
    return "it is not built for this machine";
  }
  if (header.e_type != ET_EXEC && header.e_type != ET_DYN) {
    return "it is not an executable";
  }
  return "";
}

// The program headers' loaded parts and the section table, usually the file's last part.
std::string WhyCutOff(int fd, const Ehdr& header, uint64_t fileSize) {
  if (header.e_phentsize != sizeof(Phdr) || header.e_phnum == 0 ||
      !Within(header.e_phoff, header.e_phnum, sizeof(Phdr), fileSize)) {
    return "it is cut off";
  }
  std::vector<Phdr> programs(header.e_phnum);
  if (!ReadAt(fd, programs.data(), programs.size() * sizeof(Phdr), header.e_phoff)) {
    return "it is cut off";
  }
  for (const Phdr& program : programs) {
    if (program.p_type == PT_LOAD && !Within(program.p_offset, 1, program.p_filesz, fileSize)) {
      return "it is cut off";
    }
  }
  if (header.e_shoff != 0 &&
      !Within(header.e_shoff, header.e_shnum, header.e_shentsize, fileSize)) {
    return "it is cut off";
  }
  return "";
}

}  // namespace

std::string WhyNotLoadable(const Path& path) {
  const tools::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) {
    return std::strerror(errno);
  }
  struct stat status {};
  if (fstat(fd.Get(), &status) != 0) {
    return std::strerror(errno);
  }
  if (!S_ISREG(status.st_mode)) {
    return "it is not a regular file";
  }
  const auto fileSize = static_cast<uint64_t>(status.st_size);
  if (fileSize == 0) {
    return "it is empty";
  }
  Ehdr header{};
  const size_t have = fileSize < sizeof header ? static_cast<size_t>(fileSize) : sizeof header;
  if (!ReadAt(fd.Get(), &header, have, 0)) {
    return "it cannot be read";
  }
  if (std::memcmp(header.e_ident, ELFMAG, have < SELFMAG ? have : SELFMAG) != 0) {
    return "it is not an ELF file";
  }
  if (have < sizeof header) {
    return "it is cut off";
  }
  std::string why = WhyNotThisMachine(header);
  if (why.empty()) {
    why = WhyCutOff(fd.Get(), header, fileSize);
  }
  return why;
}

}  // namespace sov::supervisor
