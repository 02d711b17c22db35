#include "supervisor/common/upgrade/tree_merge.h"

#include "tests/unit/test_support.h"

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace sov::supervisor {
namespace {

namespace pt = boost::property_tree;
using ::testing::ElementsAreArray;

pt::ptree Ini(const std::string& text) {
  std::istringstream in(text);
  pt::ptree tree;
  pt::read_ini(in, tree);
  return tree;
}

std::string IniText(const pt::ptree& tree) {
  std::ostringstream out;
  pt::write_ini(out, tree);
  return out.str();
}

pt::ptree Xml(const std::string& text) {
  std::istringstream in(text);
  pt::ptree tree;
  pt::read_xml(in, tree, pt::xml_parser::trim_whitespace);
  return tree;
}

std::string Json(const pt::ptree& tree) {
  std::ostringstream out;
  pt::write_json(out, tree, false);
  return out.str();
}

class TreeMergeTest : public ::testing::Test {
 protected:
  boost::intrusive_ptr<testing::RecordingTracer> tracer_ = testing::MakeRecordingTracer();
  Traceable tracing_{tracer_};
};

TEST_F(TreeMergeTest, ConfigRuleKeepsInstalledValuesButTheBuildsOwn) {
  const struct {
    const char* shipped;
    const char* installed;
    const char* merged;
    bool changed;
    std::vector<std::string> traces;
    const char* why;
  } cases[] = {
      {"[General]\nUseFanotify=yes\nPackageType=deb\nExecArgMax=131072\nNewKey=1\n",
       "[General]\nUseFanotify=no\nPackageType=rpm\nExecArgMax=65536\nOwn=x\n",
       "[General]\nUseFanotify=no\nPackageType=deb\nExecArgMax=131072\nOwn=x\nNewKey=1\n",
       true,
       {"Merge: Property General.UseFanotify preserved",
        "Merge: Property General.PackageType=deb changed. Previous value: rpm",
        "Merge: Property General.ExecArgMax=131072 changed. Previous value: 65536",
        "Merge: Property General.NewKey=1 added"},
       "installed values stay; package type and argument limit are the build's; new keys come"},
      {"[General]\nPackageType=deb\nExecArgMax=131072\n",
       "[General]\nPackageType=deb\nExecArgMax=131072\n",
       "[General]\nPackageType=deb\nExecArgMax=131072\n",
       false,
       {"Merge: Property General.PackageType not changed",
        "Merge: Property General.ExecArgMax not changed"},
       "the build's own keys with the same values change nothing"},
      {"[Watchdog]\nMaxMemory=100\n[General]\nUseFanotify=yes\n",
       "[General]\nUseFanotify=yes\n",
       "[General]\nUseFanotify=yes\n[Watchdog]\nMaxMemory=100\n",
       true,
       {"Merge: Property Watchdog.MaxMemory=100 added",
        "Merge: Property General.UseFanotify preserved"},
       "a section the installed file lacks is added"},
      {"[General]\nUseFanotify=\n",
       "",
       "[General]\nUseFanotify=\n",
       true,
       {"Merge: Property General.UseFanotify= added"},
       "an empty value is a value too"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    tracer_->Clear();
    pt::ptree target = Ini(c.installed);
    EXPECT_EQ(c.changed, Merge(tracing_, Ini(c.shipped), target, ConfigMergeRule));
    EXPECT_EQ(c.merged, IniText(target));
    EXPECT_THAT(tracer_->Texts(), ElementsAreArray(c.traces));
  }
}

TEST_F(TreeMergeTest, NoAnswerForAnAbsentKeyLeavesNoEmptySection) {
  const MergeRule never = [](const std::string&, const std::string&,
                             const std::optional<std::string>&) -> std::optional<std::string> {
    return std::nullopt;
  };
  pt::ptree target = Ini("[General]\nA=1\n");
  EXPECT_FALSE(Merge(tracing_, Ini("[Extra]\nB=2\n"), target, never));
  EXPECT_EQ("[General]\nA=1\n", IniText(target));
  EXPECT_THAT(tracer_->Texts(), ElementsAreArray({"Merge: Property Extra.B ignored"}));
}

TEST_F(TreeMergeTest, SettingsOfThePreviousPatchWinWithChangeRecords) {
  const struct {
    const char* previous;
    const char* initial;
    const char* shipped;
    std::vector<SettingsMergeRule::PathRewrite> rewrites;
    const char* merged;
    const char* changes;
    const char* why;
  } cases[] = {
      {"<s><Scan>no</Scan><Days>30</Days></s>",
       "<s><Scan>yes</Scan></s>",
       "<s><Scan>yes</Scan><Days>30</Days><New>1</New></s>",
       {},
       "<s><Scan>no</Scan><Days>30</Days><New>1</New></s>",
       R"({"s":{"Scan":{"currentValue":"no","initialValue":"yes"},"Days":{"currentValue":"30"}}})",
       "previous values win; only keys with a shipped default get an initial value"},
      {"<s><Only>x</Only></s>",
       "",
       "<s/>",
       {},
       "<s><Only>x</Only></s>",
       R"({"s":{"Only":{"currentValue":"x"}}})",
       "a setting the new build lacks is kept"},
      {"<s><l><i>a</i><i>b</i></l></s>",
       "",
       "<s><l><i>x</i><i>y</i><i>z</i></l></s>",
       {},
       "<s><l><i>a</i><i>b</i><i>z</i></l></s>",
       R"({"s":{"l":{"i":{"currentValue":"b"}}}})",
       "list items merge by rank, not all into the first"},
      {"<s><i name=\"old\">t</i></s>",
       "",
       "<s><i name=\"new\">u</i></s>",
       {},
       "<s><i name=\"old\">t</i></s>",
       R"({"s":{"i":{"currentValue":"t","<xmlattr>":{"name":{"currentValue":"old"}}}}})",
       "attributes are values too"},
      {"<s><Dir>/var/opt/brevantis/old/x</Dir><Log>/tmp/old</Log></s>",
       "",
       "<s/>",
       {{"/var/opt/brevantis/old/", "/var/opt/brevantis/tarn/"}},
       "<s><Dir>/var/opt/brevantis/tarn/x</Dir><Log>/tmp/old</Log></s>",
       R"({"s":{"Dir":{"currentValue":"\/var\/opt\/brevantis\/tarn\/x"},"Log":{"currentValue":"\/tmp\/old"}}})",
       "a renamed product's directories are rewritten, other paths are not"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    SettingsMergeRule rule(tracing_, *c.initial ? Xml(c.initial) : pt::ptree(), c.rewrites);
    pt::ptree target = Xml(c.shipped);
    Merge(tracing_, Xml(c.previous), target, std::ref(rule));
    std::ostringstream merged;
    pt::write_xml(merged, target);
    EXPECT_EQ(std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n") + c.merged, merged.str());
    EXPECT_EQ(std::string(c.changes) + "\n", Json(rule.Changes()));
  }
}

}  // namespace
}  // namespace sov::supervisor
