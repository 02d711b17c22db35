// Option table and parse of the launcher's command line.
#include "supervisor/launcher/launcher_arguments.h"

#include "sov_common/control_escape.h"
#include "supervisor/launcher/command_names.h"

#include <boost/algorithm/string/join.hpp>
#include <boost/any.hpp>
#include <boost/format.hpp>
#include <boost/program_options/errors.hpp>
#include <boost/program_options/parsers.hpp>

#include <algorithm>
#include <iterator>
#include <sstream>

namespace sov::supervisor {
namespace po = boost::program_options;
namespace {

using Name = CommandName;

// The option name; program_options copies it, so the temporary may end with the statement.
std::string N(Name name) {
  return ToString(name);
}

// Options match by their whole names only: with guessing, "--u" would run uninstall.
constexpr int kStyle =
    po::command_line_style::default_style & ~po::command_line_style::allow_guessing;

// A word that is no option ("stop" for "--stop") is an error rather than silently ignored,
// which would start the product instead.
void RefuseWordsWithoutOption(const po::parsed_options& parsed) {
  for (const auto& option : parsed.options) {
    if (option.position_key >= 0) {
      throw po::unknown_option(option.original_tokens.front());
    }
  }
}

}  // namespace

LauncherArguments::LauncherArguments(const std::vector<std::string>& args) {
  std::vector<std::string> words(args.size() > 1 ? args.begin() + 1 : args.end(), args.end());
  if (words.empty()) {
    // A launcher run without arguments starts the product.
    words.push_back((boost::format("--%1%") % N(Name::Start)).str());
  }
  argumentLine_ = boost::algorithm::join(words, " ");
  // Monitoring asks "--status" every few seconds and the service manager starts without
  // arguments: building the option table would be most of such a run's own work.
  if (!ReadPlainSwitches(words)) {
    Parse(words);
  }
}

const po::options_description& LauncherArguments::Description() const {
  if (!description_) {
    description_.emplace("Options", 80, 40);
    // The notifiers only ever run in Parse, on this object.
    const_cast<LauncherArguments*>(this)->Describe(*description_);
  }
  return *description_;
}

bool LauncherArguments::ReadPlainSwitches(const std::vector<std::string>& words) {
  // The options that take no value; "ztn-on" and "ztn-off" are switches with a default,
  // which the option library stores in any case.
  static constexpr Name kPlain[] = {
      Name::Help,         Name::Start,     Name::Stop,
      Name::Status,       Name::Uninstall, Name::Restart,
      Name::AsyncRestart, Name::Export,    Name::DisableReloadConnectors};
  po::variables_map read;
  for (const std::string& word : words) {
    const auto plain = std::find_if(std::begin(kPlain), std::end(kPlain),
                                    [&](Name name) { return word == "--" + N(name); });
    // A repeated switch is the option library's error to tell.
    if (plain == std::end(kPlain) || read.count(word.substr(2)) != 0) {
      return false;
    }
    // As the library stores an option without a value: an empty text.
    read.insert({word.substr(2), po::variable_value(std::string(), false)});
  }
  for (Name name : {Name::ZtnOn, Name::ZtnOff}) {
    read.insert({N(name), po::variable_value(false, true)});
  }
  variables_.swap(read);
  return true;
}

void LauncherArguments::Parse(const std::vector<std::string>& words) {
  const po::options_description& description = Description();
  try {
    const auto parsed = po::command_line_parser(words).options(description).style(kStyle).run();
    RefuseWordsWithoutOption(parsed);
    po::store(parsed, variables_);
    po::notify(variables_);
  } catch (const std::exception& error) {
    // The parser quotes the offending word, which must not bring line breaks or terminal
    // controls to the console and the trace.
    std::ostringstream text;
    text << sov::tools::EscapeControlCharacters(error.what()) << "\n\n" << description;
    throw po::error(text.str());
  }
}

void LauncherArguments::Describe(po::options_description& description) {
  const std::string helpNames = N(Name::Help) + ",h";
  description.add_options()                        //
      (helpNames.c_str(), "Produce help message")  //
      (N(Name::Start).c_str(), "Start product")    //
      (N(Name::Stop).c_str(), "Stop product")      //
      (N(Name::Status).c_str(), "Product status")  //
      (N(Name::Install).c_str(),
       po::value<std::string>()->notifier([this](const std::string& tag) { install_ = tag; }),
       "Install or upgrade product")                                            //
      (N(Name::Uninstall).c_str(), "Uninstall product")                         //
      (N(Name::PackageType).c_str(), po::value<std::string>(), "Package type")  //
      (N(Name::ZtnOn).c_str(), po::bool_switch()->notifier([this](bool on) {
        if (on) {
          ztnRequest_ = kZtnOn;
        }
      }),
       "Enable ZTN")  //
      (N(Name::ZtnOff).c_str(), po::bool_switch()->notifier([this](bool off) {
        if (off) {
          ztnRequest_ = kZtnOff;
        }
      }),
       "Disable ZTN")                                                  //
      (N(Name::Restart).c_str(), "Synchronous product restart")        //
      (N(Name::AsyncRestart).c_str(), "Asynchronous product restart")  //
      (N(Name::Export).c_str(), "Export settings")                     //
      (N(Name::DisableReloadConnectors).c_str(), "Disable reload connectors");
}

std::optional<std::string> LauncherArguments::GetPackageType() const {
  const auto found = variables_.find(N(Name::PackageType));
  if (found == variables_.end()) {
    return std::nullopt;
  }
  const auto* text = boost::any_cast<std::string>(&found->second.value());
  return text != nullptr ? std::optional<std::string>(*text) : std::nullopt;
}

}  // namespace sov::supervisor
