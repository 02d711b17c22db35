#include "supervisor/common/system/app_infra_loader.h"

#include "ivo/result.h"
#include "supervisor/common/exceptions.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <string>

namespace sov::supervisor {
namespace {

// The library's side of the contract in sov_common/app_infra.h, as the loader meets it.
class AppInfraLoaderTest : public ::testing::Test {
 protected:
  AppInfraLoader loader_{nullptr, SOV_APP_INFRA_LIBRARY};
  testing::TempDir dir_;
};

TEST_F(AppInfraLoaderTest, OffersTheThreeInterfacesOfItsVersionOnly) {
  EXPECT_EQ(SOV_APP_INFRA_VERSION, loader_.Api().version);
  EXPECT_NE(nullptr, loader_.Api().get_interface("IXmlStorageFactory"));
  EXPECT_NE(nullptr, loader_.Api().get_interface("ISettingsExporter"));
  EXPECT_NE(nullptr, loader_.Api().get_interface("IPersistentDataExporter"));
  try {
    loader_.GetInterface<SovXmlStorageFactory>("IStorageFactory");
    ADD_FAILURE() << "no exception";
  } catch (const ApplicationError& error) {
    EXPECT_STREQ("Can't get interface IStorageFactory", error.what());
  }

  void* library = dlopen(SOV_APP_INFRA_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, library);
  const auto entry = reinterpret_cast<SovAppInfraEntry>(dlsym(library, SOV_APP_INFRA_ENTRY));
  ASSERT_NE(nullptr, entry);
  EXPECT_EQ(nullptr, entry(SOV_APP_INFRA_VERSION + 1));
  dlclose(library);
}

TEST_F(AppInfraLoaderTest, RefusesABareLibraryName) {
  try {
    AppInfraLoader(nullptr, "libtarn_infra.so");
    ADD_FAILURE() << "no exception";
  } catch (const ApplicationError& error) {
    EXPECT_STREQ(
        "Can't create application infrastructure loader: libtarn_infra.so is not an absolute "
        "path",
        error.what());
  }
}

// Any byte sequence survives the base64 of the persistent data, whatever its length.
TEST_F(AppInfraLoaderTest, PersistentDataKeepsEveryByte) {
  std::string bytes;
  for (int byte = 0; byte < 256; ++byte) {
    bytes += static_cast<char>(byte);
  }
  testing::WriteFile(dir_ / "all", bytes);
  testing::WriteFile(dir_ / "one", "a");
  testing::WriteFile(dir_ / "two", "ab");
  const auto& exporter = loader_.GetInterface<SovPersistentDataExporter>("IPersistentDataExporter");
  SovText text{};
  SovError error{};
  ASSERT_EQ(ivo::result::kOk, exporter.export_data(dir_.path().c_str(), &text, &error))
      << error.text;
  const std::string xml(text.data, text.size);
  loader_.Api().free_text(&text);
  EXPECT_EQ(nullptr, text.data);
  const std::string all =
      "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+P0BB"
      "QkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3BxcnN0dXZ3eHl6e3x9fn+AgYKD"
      "hIWGh4iJiouMjY6PkJGSk5SVlpeYmZqbnJ2en6ChoqOkpaanqKmqq6ytrq+wsbKztLW2t7i5uru8vb6/wMHCw8TF"
      "xsfIycrLzM3Oz9DR0tPU1dbX2Nna29zd3t/g4eLj5OXm5+jp6uvs7e7v8PHy8/T19vf4+fr7/P3+/w==";
  EXPECT_EQ(
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      "<persistentData formatVersion=\"1\">\n"
      "  <entry key=\"all\" size=\"256\">" +
          all +
          "</entry>\n"
          "  <entry key=\"one\" size=\"1\">YQ==</entry>\n"
          "  <entry key=\"two\" size=\"2\">YWI=</entry>\n"
          "</persistentData>\n",
      xml);
}

TEST_F(AppInfraLoaderTest, TaskManagerWantsEveryParameter) {
  const SovExportTaskParams incomplete{};
  try {
    ExportTaskManager manager(loader_, incomplete);
    ADD_FAILURE() << "no exception";
  } catch (const ApplicationError& error) {
    EXPECT_STREQ("Can't create task manager: Incomplete export task parameters", error.what());
  }
}

}  // namespace
}  // namespace sov::supervisor
