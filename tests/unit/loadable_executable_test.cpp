#include "supervisor/common/process/loadable_executable.h"

#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <elf.h>
#include <link.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace sov::supervisor {
namespace {

// A header field of `program` replaced by `value`.
template <typename Field>
std::string WithField(std::string program, size_t offset, Field value) {
  std::memcpy(&program[offset], &value, sizeof value);
  return program;
}

TEST(LoadableExecutableTest, RefusesWhatTheKernelCouldNotRun) {
  using Ehdr = ElfW(Ehdr);
  const std::string program = testing::ReadFile("/bin/true");
  const auto* header = reinterpret_cast<const Ehdr*>(program.data());
  const struct {
    const char* what;
    std::string content;
    const char* why;
  } cases[] = {
      {"a program of this machine", program, ""},
      {"an empty file, as an interrupted unpack leaves it", "", "it is empty"},
      {"the magic number only", program.substr(0, 4), "it is cut off"},
      {"the ELF header only", program.substr(0, sizeof(Ehdr)), "it is cut off"},
      {"cut inside the loaded segments", program.substr(0, program.size() / 2), "it is cut off"},
      {"only the section table missing", program.substr(0, header->e_shoff + 1), "it is cut off"},
      {"a script", "#!/bin/sh\nexit 0\n", "it is not an ELF file"},
      {"another architecture", WithField(program, offsetof(Ehdr, e_machine), uint16_t{EM_MIPS}),
       "it is not built for this machine"},
      {"another word size",
       WithField(program, EI_CLASS, uint8_t{sizeof(void*) == 8 ? ELFCLASS32 : ELFCLASS64}),
       "it is not built for this machine"},
      {"an object file", WithField(program, offsetof(Ehdr, e_type), uint16_t{ET_REL}),
       "it is not an executable"},
      {"a program header table past the end",
       WithField(program, offsetof(Ehdr, e_phoff), static_cast<decltype(header->e_phoff)>(-8)),
       "it is cut off"},
  };
  testing::TempDir dir;
  for (const auto& [what, content, why] : cases) {
    SCOPED_TRACE(what);
    testing::WriteFile(dir / "program", content, 0755);
    EXPECT_EQ(why, WhyNotLoadable(dir / "program"));
  }
}

// Opened without blocking: a FIFO in the program's place is refused, not waited on.
TEST(LoadableExecutableTest, RefusesWhatIsNoRegularFile) {
  testing::TempDir dir;
  ASSERT_EQ(0, mkfifo((dir / "fifo").c_str(), 0600));
  EXPECT_EQ("it is not a regular file", WhyNotLoadable(dir / "fifo"));
  EXPECT_EQ("it is not a regular file", WhyNotLoadable(dir.path()));
  EXPECT_EQ("No such file or directory", WhyNotLoadable(dir / "missing"));
}

}  // namespace
}  // namespace sov::supervisor
