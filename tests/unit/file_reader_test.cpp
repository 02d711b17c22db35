#include "sov_common/file_reader.h"

#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace sov::tools {
namespace {

using sov::testing::TempDir;
using sov::testing::WriteFile;

TEST(FileReaderTest, ReadsRegularFilesAndRefusesTheRest) {
  const TempDir dir;
  WriteFile(dir / "plain", "text\n");
  WriteFile(dir / "big", std::string(11, 'x'));
  ASSERT_EQ(0, mkfifo((dir / "fifo").c_str(), 0600));  // would block a plain open
  ASSERT_EQ(0, symlink("plain", (dir / "link").c_str()));
  const struct {
    const char* name;
    ReadLimits limits;
    int error;
    const char* text;
  } cases[] = {
      {"plain", {}, 0, "text\n"},       {"link", {}, 0, "text\n"},
      {"link", {16, false}, ELOOP, ""}, {"missing", {}, ENOENT, ""},
      {"fifo", {}, EINVAL, ""},         {".", {}, EISDIR, ""},
      {"big", {10, true}, EFBIG, ""},   {"big", {11, true}, 0, "xxxxxxxxxxx"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const FileContent content = ReadWholeFile(dir / c.name, c.limits);
    EXPECT_EQ(c.error, content.error);
    EXPECT_EQ(c.text, content.text);
  }
}

TEST(FileReaderTest, ThrowingFormNamesTheFile) {
  const TempDir dir;
  try {
    ReadWholeFileOrThrow(dir / "missing");
    FAIL() << "no exception";
  } catch (const std::system_error& error) {
    EXPECT_EQ(ENOENT, error.code().value());
    EXPECT_EQ("Cannot read " + (dir / "missing").string() + ": No such file or directory",
              std::string(error.what()));
  }
}

}  // namespace
}  // namespace sov::tools
