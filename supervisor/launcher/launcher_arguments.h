// The launcher's command line: the option table, the parse, and the queries that the
// dispatcher and the commands ask of it.
#pragma once

#include <boost/program_options/options_description.hpp>
#include <boost/program_options/variables_map.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sov::supervisor {

class LauncherArguments {
 public:
  // ZTN request values: what the "ztn-on" and "ztn-off" switches asked for.
  static constexpr std::int32_t kZtnOff = 0;
  static constexpr std::int32_t kZtnOn = 1;
  static constexpr std::int32_t kZtnUnchanged = 2;

  // Parses `args` (program name first; no further word means "--start"). Options match by
  // their whole names; a word that is no option or value is an error. Any parse error
  // throws boost::program_options::error whose text is the parser's message (control
  // characters escaped), a blank line and the option help.
  explicit LauncherArguments(const std::vector<std::string>& args);

  bool IsHelp() const { return Has("help"); }
  bool IsStatus() const { return Has("status"); }
  bool IsStop() const { return Has("stop"); }
  bool IsRestart() const { return Has("restart"); }
  bool IsExport() const { return Has("export"); }
  bool IsUninstall() const { return Has("uninstall"); }
  bool IsAsyncRestart() const { return Has("async-restart"); }
  bool IsDisableReloadConnectors() const { return Has("disable-reload-connectors"); }
  const std::optional<std::string>& GetInstall() const { return install_; }
  std::optional<std::string> GetPackageType() const;
  std::int32_t GetZtnRequest() const { return ztnRequest_; }
  // The arguments after the program name, joined with single blanks.
  const std::string& ArgumentLine() const { return argumentLine_; }
  // The option table, built when it is first asked for (the help, an error): the common
  // command lines are read without it (see ReadPlainSwitches).
  const boost::program_options::options_description& Description() const;

 private:
  void Describe(boost::program_options::options_description& description);
  // Fills the variables as the option library would for `words` that are only distinct
  // switches without a value ("--status", "--stop --restart"); false, with nothing
  // changed, for anything else, which the option library parses.
  bool ReadPlainSwitches(const std::vector<std::string>& words);
  void Parse(const std::vector<std::string>& words);
  bool Has(const char* name) const { return variables_.count(name) != 0; }

  // Built on first use (Description is const; the table is the same whenever built).
  mutable std::optional<boost::program_options::options_description> description_;
  boost::program_options::variables_map variables_;
  std::optional<std::string> install_;
  std::int32_t ztnRequest_ = kZtnUnchanged;
  std::string argumentLine_;
};

}  // namespace sov::supervisor
