#include "supervisor/common/files/utils.h"
#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace sov::supervisor {
namespace {

namespace fs = boost::filesystem;
namespace pt = boost::property_tree;
using testing::ReadFile;
using testing::WriteFile;

class ConfigFilesTest : public ::testing::Test {
 protected:
  using Write = void (Utils::*)(const Path&, const pt::ptree&, mode_t) const;
  using Read = void (Utils::*)(const Path&, pt::ptree&) const;

  // The writer's refusal of `tree` as "<file>: <message>"; the old file must be left as it
  // was, with no temporary file beside it.
  std::string Refusal(Write write, const pt::ptree& tree) {
    const Path file = dir_ / "refused";
    WriteFile(file, "old");
    std::string message = "(written)";
    try {
      (utils_.*write)(file, tree, 0600);
    } catch (const pt::file_parser_error& error) {
      const std::string prefix = file.string() + ": ";
      message = std::string(error.what()).substr(0, prefix.size()) == prefix
                    ? std::string(error.what()).substr(prefix.size())
                    : error.what();
    }
    EXPECT_EQ("old", ReadFile(file));
    EXPECT_EQ(1, std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()));
    fs::remove(file);
    return message;
  }

  // What the reader gives back for what the writer wrote.
  pt::ptree WrittenAndRead(Write write, Read read, const pt::ptree& tree) {
    const Path file = dir_ / "round-trip";
    (utils_.*write)(file, tree, 0600);
    pt::ptree back;
    (utils_.*read)(file, back);
    return back;
  }

  boost::intrusive_ptr<testing::RecordingTracer> tracer_ = testing::MakeRecordingTracer();
  Utils utils_{tracer_};
  testing::TempDir dir_;
};

// Trees built without path splitting, so that names may hold "." or repeat.
pt::ptree Node(const std::string& data = "") {
  return pt::ptree(data);
}

pt::ptree Children(std::initializer_list<std::pair<std::string, pt::ptree>> children,
                   const std::string& data = "") {
  pt::ptree tree(data);
  for (const auto& child : children) {
    tree.push_back(child);
  }
  return tree;
}

pt::ptree IniKey(const std::string& section, const std::string& key, const std::string& value) {
  return Children({{section, Children({{key, Node(value)}})}});
}

// "name.name...name", `levels` times.
std::string DottedPath(const std::string& name, std::size_t levels) {
  std::string path = name;
  for (std::size_t i = 1; i < levels; ++i) {
    path += "." + name;
  }
  return path;
}

// `levels` elements named `name`, each inside the one before; the innermost holds
// `leafText`.
pt::ptree Nested(const std::string& name, std::size_t levels, const std::string& leafText) {
  pt::ptree tree(leafText);
  for (std::size_t i = 0; i < levels; ++i) {
    pt::ptree outer;
    outer.push_back({name, std::move(tree)});
    tree = std::move(outer);
  }
  return tree;
}

TEST_F(ConfigFilesTest, IniRoundTrip) {
  pt::ptree written;
  written.put("General.UseFanotify", "yes");
  written.put("General.PackageType", "deb");
  written.put("Watchdog.MaxMemory", "highest/50%/2048MB");
  const Path file = dir_ / "tarn.ini";
  utils_.WriteIni(file, written, 0644);
  pt::ptree read;
  utils_.ReadIni(file, read);
  EXPECT_EQ(written, read);
  EXPECT_EQ(
      "[General]\nUseFanotify=yes\nPackageType=deb\n[Watchdog]\nMaxMemory=highest/50%/2048MB\n",
      ReadFile(file));
  EXPECT_THAT(tracer_->Texts(),
              ::testing::ElementsAre("WriteIni: " + file.string() + " updated",
                                     "ReadIni: Reading " + file.string() + " ..."));
}

TEST_F(ConfigFilesTest, RewriteKeepsModeOwnerAndTheOtherHardLinksContent) {
  const Path file = dir_ / "tarn.ini";
  WriteFile(file, "[General]\nA=1\n", 0644);
  ASSERT_EQ(0, chown(file.c_str(), 12345, 54321));
  fs::create_hard_link(file, dir_ / "package-copy.ini");
  pt::ptree tree;
  tree.put("General.A", "2");
  utils_.WriteIni(file, tree);
  struct stat status {};
  ASSERT_EQ(0, stat(file.c_str(), &status));
  EXPECT_EQ(0644u, status.st_mode & 07777);
  EXPECT_EQ(12345u, status.st_uid);
  EXPECT_EQ(54321u, status.st_gid);
  EXPECT_EQ("[General]\nA=2\n", ReadFile(file));
  EXPECT_EQ("[General]\nA=1\n", ReadFile(dir_ / "package-copy.ini"));
  // A new file gets the writer's mode.
  utils_.WriteIni(dir_ / "new.ini", tree);
  EXPECT_EQ(0600, static_cast<int>(fs::status(dir_ / "new.ini").permissions()));
}

TEST_F(ConfigFilesTest, AFullDiskLeavesTheOldFileIntactAndNoTemporaryBehind) {
  const Path small = dir_ / "small";
  fs::create_directory(small);
  ASSERT_EQ(0, mount("tmpfs", small.c_str(), "tmpfs", 0, "size=16k")) << "needs the sandbox";
  const Path file = small / "tarn.ini";
  WriteFile(file, "[General]\nUseFanotify=no\n");
  pt::ptree big;
  for (int i = 0; i < 2000; ++i) {
    big.put("General.Key" + std::to_string(i), std::string(40, 'x'));
  }
  EXPECT_THROW(utils_.WriteIni(file, big), fs::filesystem_error);
  EXPECT_EQ("[General]\nUseFanotify=no\n", ReadFile(file));
  EXPECT_EQ(1, std::distance(fs::directory_iterator(small), fs::directory_iterator()));
  umount(small.c_str());
}

// Editors of other systems begin a UTF-8 file with a byte-order mark: it is no part of
// the first line, wherever that line puts its name. Anywhere else it is text as any other.
TEST_F(ConfigFilesTest, IniReaderSkipsAByteOrderMarkAtTheStart) {
  const std::string mark = "\xEF\xBB\xBF";
  const struct {
    std::string content;
    pt::ptree expected;
    const char* why;
  } cases[] = {
      {mark + "[AcceptedAgreement]\nEulaId=e1\n", IniKey("AcceptedAgreement", "EulaId", "e1"),
       "before a section"},
      {mark + "Top=1\n", Children({{"Top", Node("1")}}), "before a top-level key"},
      {mark + "; a comment\n[General]\nA=1\n", IniKey("General", "A", "1"), "before a comment"},
      {"[General]\nA=" + mark + "x\n", IniKey("General", "A", mark + "x"),
       "inside a value, where it is text"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    WriteFile(dir_ / "tarn.ini", c.content);
    pt::ptree read;
    utils_.ReadIni(dir_ / "tarn.ini", read);
    EXPECT_EQ(c.expected, read);
  }
}

TEST_F(ConfigFilesTest, ReadersRaiseTheParserErrorNamingTheFile) {
  pt::ptree tree;
  const Path missing = dir_ / "missing.ini";
  try {
    utils_.ReadIni(missing, tree);
    FAIL() << "no exception";
  } catch (const pt::ini_parser_error& error) {
    EXPECT_EQ(missing.string(), error.filename());
  }
  WriteFile(dir_ / "bad.ini", "[General]\nno equals sign here\n");
  try {
    utils_.ReadIni(dir_ / "bad.ini", tree);
    FAIL() << "no exception";
  } catch (const pt::ini_parser_error& error) {
    EXPECT_EQ(2u, error.line());
  }
}

TEST_F(ConfigFilesTest, JsonAndXmlRoundTrip) {
  pt::ptree info;
  info.put("OldVersion", "12.4.0.100");
  info.put("ForUpgradeSettings", "/var/opt/brevantis/tarn/private/for_upgrade_settings.xml");
  utils_.WriteJson(dir_ / "upgrade.json", info);
  pt::ptree json;
  utils_.ReadJson(dir_ / "upgrade.json", json);
  EXPECT_EQ(info, json);

  pt::ptree settings;
  settings.put("settings.scan.<xmlattr>.enabled", "true");
  settings.put("settings.scan.path", "/home");
  utils_.WriteXml(dir_ / "appSettings.xml", settings);
  pt::ptree xml;
  utils_.ReadXml(dir_ / "appSettings.xml", xml);
  EXPECT_EQ("/home", xml.get<std::string>("settings.scan.path"));
  EXPECT_EQ("true", xml.get<std::string>("settings.scan.<xmlattr>.enabled"));
}

TEST_F(ConfigFilesTest, IniWriterRefusesWhatItsReaderWouldReadOtherwise) {
  const struct {
    pt::ptree tree;
    const char* message;
  } cases[] = {
      // A package type from the command line must not add lines to the live ini.
      {IniKey("General", "PackageType", "deb\n[General]"),
       "cannot write \"General.PackageType\": the value contains a line break"},
      {IniKey("General", "PackageType", "deb\r"),
       "cannot write \"General.PackageType\": the value contains a line break"},
      {IniKey("General", "Path", " /opt"),
       "cannot write \"General.Path\": the value begins or ends with white space"},
      {IniKey("General", "Path", "/opt\t"),
       "cannot write \"General.Path\": the value begins or ends with white space"},
      {IniKey("General", "Id", std::string("a\0b", 3)),
       "cannot write \"General.Id\": the value contains a NUL byte"},
      {IniKey("General", "a=b", "1"), "cannot write \"General.a=b\": the key contains \"=\""},
      {IniKey("General", "[x", "1"), "cannot write \"General.[x\": the key begins with \"[\""},
      {IniKey("General", ";x", "1"), "cannot write \"General.;x\": the key begins with \";\""},
      {IniKey("General", "#x", "1"), "cannot write \"General.#x\": the key begins with \"#\""},
      {IniKey("General", "", "1"), "cannot write \"General.\": the key is empty"},
      {IniKey("General", "Key ", "1"),
       "cannot write \"General.Key \": the key begins or ends with white space"},
      {IniKey("General", "a\nb", "1"),
       "cannot write \"General.a\\nb\": the key contains a line break"},
      {IniKey("Gen]eral", "A", "1"), "cannot write \"Gen]eral\": the section name contains \"]\""},
      // Written first, it would lose the mark to the reader.
      {IniKey("\xEF\xBB\xBFGeneral", "A", "1"),
       "cannot write \"\xEF\xBB\xBFGeneral\": the section name begins with a byte-order mark"},
      {IniKey("General",
              "\xEF\xBB\xBF"
              "A",
              "1"),
       "cannot write \"General.\xEF\xBB\xBF"
       "A\": the key begins with a byte-order mark"},
      {IniKey(" General", "A", "1"),
       "cannot write \" General\": the section name begins or ends with white space"},
      {Children({{"General", Children({{"A", Node("1")}}, "text")}}),
       "cannot write \"General\": a section cannot hold a value"},
      {Children({{"General", Children({{"A", Children({{"B", Node("1")}})}})}}),
       "cannot write \"General.A\": a key cannot have keys below it"},
      {Children({{"General", Children({{"A", Node("1")}, {"A", Node("2")}})}}),
       "cannot write \"General.A\": the name occurs twice"},
      {Children({{"General", Node("1")}, {"General", Children({{"A", Node("1")}})}}),
       "cannot write \"General\": the name occurs twice"},
      {Children({}, "text"), "cannot write: the top level holds text"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(c.message, Refusal(&Utils::WriteIni, c.tree));
  }
}

TEST_F(ConfigFilesTest, IniWriterKeepsWhatItsReaderGivesBack) {
  const pt::ptree trees[] = {
      IniKey("General", "Value", "inner  blanks, =, ; and # stay"),
      IniKey("General", "Key Name.with.dots", "1"),
      IniKey("General", "a]b", "\xC3\xBC\xE2\x82\xAC"),
      IniKey("[x", "A", "section names may begin with ["),
      IniKey("General", "Empty", ""),
      IniKey("General", "Inner", "a\tb\vc"),
      // Top-level keys come before the sections, as the file must have them.
      Children({{"Top", Node("1")}, {"General", Children({{"A", Node("1")}})}}),
  };
  for (const auto& tree : trees) {
    EXPECT_EQ(tree, WrittenAndRead(&Utils::WriteIni, &Utils::ReadIni, tree));
  }
}

TEST_F(ConfigFilesTest, XmlWriterRefusesWhatItsReaderWouldReadOtherwise) {
  const pt::ptree attributes = Children({{"enabled", Node("true")}});
  const struct {
    pt::ptree tree;
    const char* message;
  } cases[] = {
      {Children({{"1st", Node()}}), "cannot write \"1st\": not an XML name"},
      {Children({{"a b", Node()}}), "cannot write \"a b\": not an XML name"},
      {Children({{"", Node()}}), "cannot write \"\": not an XML name"},
      {Children({{"a", Children({{"<xmlcomment>", Node("note")}})}}),
       "cannot write \"a.<xmlcomment>\": not an XML name"},
      {Children({{"a", Children({{"<xmlattr>", Children({{"x y", Node("1")}})}})}}),
       "cannot write \"a.<xmlattr>.x y\": not an XML name"},
      {Children({{"a", Children({{"<xmlattr>", attributes}, {"<xmlattr>", attributes}})}}),
       "cannot write \"a.<xmlattr>\": a second attribute list"},
      {Children({{"a", Children({{"<xmlattr>", Node()}})}}),
       "cannot write \"a.<xmlattr>\": the attribute list is empty"},
      {Children({{"a", Children({{"<xmlattr>", Children({{"x", Node()}}, "text")}})}}),
       "cannot write \"a.<xmlattr>\": the attribute list holds text"},
      {Children({{"a", Children({{"<xmlattr>", Children({{"x", attributes}})}})}}),
       "cannot write \"a.<xmlattr>.x\": an attribute cannot have children"},
      {Children({{"<xmlattr>", attributes}}),
       "cannot write \"<xmlattr>\": the top level cannot have attributes"},
      {Children({{"a", Node(std::string("\0", 1))}}),
       "cannot write \"a\": the text contains a NUL byte"},
      {Children({{"a", Children({{"b", Node()}}, " text")}}),
       "cannot write \"a\": text beside child elements begins or ends with white space"},
      {Children({{"a", Children({{"b", Node()}}, "\n")}}),
       "cannot write \"a\": text beside child elements begins or ends with white space"},
      {Children({}, "text"), "cannot write: the top level holds text"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(c.message, Refusal(&Utils::WriteXml, c.tree));
  }
  EXPECT_EQ("cannot write \"" + DottedPath("a", 257) + "\": elements nest deeper than 256 levels",
            Refusal(&Utils::WriteXml, Nested("a", 257, "x")));
}

TEST_F(ConfigFilesTest, XmlWriterKeepsWhatItsReaderGivesBack) {
  const pt::ptree trees[] = {
      // Leaf text is the value, white space and all: a certificate, a path with blanks.
      Children(
          {{"settings", Children({{"cert", Node("-----BEGIN-----\nMIIB\n  abc\n-----END-----\n")},
                                  {"path", Node("  /opt/my  dir/ ")},
                                  {"spaces", Node("   ")},
                                  {"newline", Node("\n")},
                                  {"mixed", Node("\t \r\n")},
                                  {"markup", Node("a&b<c>\"d'e]]>")},
                                  {"empty", Node()}})}}),
      Children(
          {{"a", Children({{"<xmlattr>", Children({{"v", Node("  two\nlines ")}, {"w", Node()}})},
                           {"b", Node("text")}})}}),
      // Text beside child elements, without white space at its ends.
      Children({{"a", Children({{"b", Node("1")}, {"c", Node("2")}}, "x  y")}}),
      Children({{"gr\xC3\xB6\xC3\x9F"
                 "e",
                 Node("\xE2\x82\xAC")},
                {"ns:second-root", Node()}}),
      Nested("a", 256, " deepest "),
  };
  for (const auto& tree : trees) {
    EXPECT_EQ(tree, WrittenAndRead(&Utils::WriteXml, &Utils::ReadXml, tree));
  }
}

TEST_F(ConfigFilesTest, XmlReaderKeepsLeafTextAndDropsLayoutAndComments) {
  const Path file = dir_ / "settings.xml";
  WriteFile(file,
            "<?xml version=\"1.0\"?>\n"
            "<settings>\n"
            "  <!-- edited by hand -->\n"
            "  <path>  /opt/a  b </path>\n"
            "  <scan enabled=\"true\">\n"
            "    <depth>2</depth>\n"
            "  </scan>\n"
            "</settings>\n");
  const pt::ptree expected =
      Children({{"settings",
                 Children({{"path", Node("  /opt/a  b ")},
                           {"scan", Children({{"<xmlattr>", Children({{"enabled", Node("true")}})},
                                              {"depth", Node("2")}})}})}});
  pt::ptree read;
  utils_.ReadXml(file, read);
  EXPECT_EQ(expected, read);
  // A settings merge reads, changes and writes again: nothing else changes, however often.
  EXPECT_EQ(expected, WrittenAndRead(&Utils::WriteXml, &Utils::ReadXml,
                                     WrittenAndRead(&Utils::WriteXml, &Utils::ReadXml, read)));
}

TEST_F(ConfigFilesTest, JsonWriterRefusesWhatItsReaderWouldReadOtherwise) {
  const struct {
    pt::ptree tree;
    const char* message;
  } cases[] = {
      {Children({{"OldVersion", Node("caf\xE9")}}),
       "cannot write \"OldVersion\": the value is not UTF-8"},
      {Children({{"caf\xE9", Node("1")}}), "cannot write \"caf\\xe9\": the key is not UTF-8"},
      {Children({{"list", Children({{"", Node("\xED\xA0\x80")}})}}),
       "cannot write \"list.[0]\": the value is not UTF-8"},
      {Children({{"a", Node(std::string("\0", 1))}}),
       "cannot write \"a\": the value contains a NUL byte"},
      {Children({{"a", Children({{"b", Node("1")}}, "text")}}),
       "cannot write \"a\": a value with children"},
      {Children({}, "text"), "cannot write: the top level holds text"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(c.message, Refusal(&Utils::WriteJson, c.tree));
  }
  // The top-level object is the first level.
  EXPECT_EQ("cannot write \"" + DottedPath("a", 256) +
                "\": objects and arrays nest deeper than 256 levels",
            Refusal(&Utils::WriteJson, Nested("a", 257, "x")));
}

TEST_F(ConfigFilesTest, JsonWriterKeepsWhatItsReaderGivesBack) {
  const pt::ptree trees[] = {
      Children({{"text", Node("Gr\xC3\xBC\xC3\x9F"
                              "e \xF0\x9F\x98\x80 \"q\" \\ /")},
                {"controls", Node("\x01\t\n\x7f")},
                {"list", Children({{"", Node("a")}, {"", Children({{"k", Node("v")}})}})},
                {"empty", Node()}}),
      Nested("a", 256, "deepest"),
  };
  for (const auto& tree : trees) {
    EXPECT_EQ(tree, WrittenAndRead(&Utils::WriteJson, &Utils::ReadJson, tree));
  }
}

TEST_F(ConfigFilesTest, ReadersRefuseFilesTooLargeOrNestedTooDeeply) {
  const std::string deepXml = [] {
    std::string text;
    for (int i = 0; i < 100000; ++i) {
      text += "<a>";
    }
    return text;
  }();
  WriteFile(dir_ / "deep.xml", deepXml);
  WriteFile(dir_ / "deep.json", std::string(100000, '['));
  WriteFile(dir_ / "big.ini", "");
  ASSERT_EQ(0, truncate((dir_ / "big.ini").c_str(), 64 * 1024 * 1024 + 1));
  pt::ptree tree;
  const struct {
    std::function<void()> read;
    std::string message;
  } cases[] = {
      {[&] { utils_.ReadXml(dir_ / "deep.xml", tree); },
       (dir_ / "deep.xml").string() + ": nested deeper than 256 levels"},
      {[&] { utils_.ReadJson(dir_ / "deep.json", tree); },
       (dir_ / "deep.json").string() + ": nested deeper than 256 levels"},
      {[&] { utils_.ReadIni(dir_ / "big.ini", tree); },
       (dir_ / "big.ini").string() + ": file is larger than 64 MiB"},
      {[&] { utils_.ReadIni(dir_.path(), tree); }, dir_.path().string() + ": not a regular file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    try {
      c.read();
      ADD_FAILURE() << "no exception";
    } catch (const pt::file_parser_error& error) {
      EXPECT_EQ(c.message, error.what());
    }
  }
}

}  // namespace
}  // namespace sov::supervisor
