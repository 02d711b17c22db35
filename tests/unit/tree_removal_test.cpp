#include "sov_common/tree_removal.h"

#include "tests/unit/test_support.h"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

namespace sov::tools {
namespace {

namespace fs = boost::filesystem;
using sov::testing::ReadFile;
using sov::testing::WriteFile;

bool Exists(const fs::path& path) {
  return fs::exists(fs::symlink_status(path));
}

// A tree with nested directories, an empty one, and links out of it (to a directory and to
// a file) that must go without anything they name going along.
TEST(TreeRemovalTest, RemovesTheTreeAndNeverFollowsALink) {
  const sov::testing::TempDir temp;
  const fs::path tree = temp.path() / "tree";
  const fs::path outside = temp.path() / "outside";
  WriteFile(outside / "kept", "kept");
  WriteFile(tree / "opt/libexec/launcher", "binary");
  WriteFile(tree / "opt/lib64/lib.so", "library");
  fs::create_directories(tree / "var/empty");
  fs::create_directory_symlink(outside, tree / "opt/to-outside");
  fs::create_symlink(outside / "kept", tree / "var/to-file");
  fs::create_symlink(tree / "missing", tree / "dangling");

  RemoveTree(tree);
  EXPECT_FALSE(Exists(tree));
  EXPECT_EQ("kept", ReadFile(outside / "kept"));

  // A link where the tree should be goes itself; a file too; nothing there is no error.
  fs::create_directory_symlink(outside, tree);
  RemoveTree(tree);
  EXPECT_FALSE(Exists(tree));
  EXPECT_EQ("kept", ReadFile(outside / "kept"));
  WriteFile(tree, "file");
  RemoveTree(tree);
  EXPECT_FALSE(Exists(tree));
  EXPECT_NO_THROW(RemoveTree(tree));
}

TEST(TreeRemovalTest, AnEntryThatCannotGoIsNamed) {
  const sov::testing::TempDir temp;
  WriteFile(temp.path() / "file", "data");
  try {
    RemoveTree(temp.path() / "file/below");
    FAIL() << "no error";
  } catch (const fs::filesystem_error& error) {
    EXPECT_EQ(temp.path() / "file/below", error.path1());
  }
  EXPECT_EQ("data", ReadFile(temp.path() / "file"));
}

}  // namespace
}  // namespace sov::tools
