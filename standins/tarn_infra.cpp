// Stand-in for the product's application infrastructure library: the three interfaces and
// the task manager of the settings export, in the format that sov_common/app_infra.h
// documents. C++ inside and C at the boundary: every entry catches what it throws and
// answers with a result code and a message.
#include "ivo/result.h"
#include "sov_common/app_infra.h"
#include "sov_common/unique_fd.h"

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

struct SovXmlStorage {
  boost::property_tree::ptree tree;
};

struct SovTaskManager {
  SovExportTaskParams params{};
  std::string kvdbDir;
  SovXmlStorage* storage = nullptr;
};

namespace {

namespace fs = std::filesystem;
namespace pt = boost::property_tree;

// A failure with its result code; turned into the code and message at the boundary.
struct Failure : std::runtime_error {
  Failure(ivo::ResultCode code, const std::string& message)
      : std::runtime_error(message), code(code) {}
  ivo::ResultCode code;
};

void SetError(SovError* error, const std::string& text) {
  if (error != nullptr) {
    const size_t size = std::min(text.size(), sizeof error->text - 1);
    std::memcpy(error->text, text.data(), size);
    error->text[size] = '\0';
  }
}

template <typename Body>
int32_t Guarded(SovError* error, Body&& body) {
  try {
    body();
    return ivo::result::kOk;
  } catch (const Failure& failure) {
    SetError(error, failure.what());
    return failure.code;
  } catch (const std::exception& exception) {
    SetError(error, exception.what());
  } catch (...) {
    SetError(error, "unknown exception");
  }
  return ivo::result::kFail;
}

[[noreturn]] void ThrowNotFound(const std::string& path) {
  throw Failure(ivo::result::kNotFound, "File " + path + " not found");
}

// A regular file's whole content; never blocks on a FIFO and never follows a link at the
// path itself.
std::string ReadRegularFile(const std::string& path) {
  const sov::tools::UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) {
    if (errno == ENOENT) {
      ThrowNotFound(path);
    }
    throw Failure(ivo::result::kSystemError, "Can't open " + path + ": " + std::strerror(errno));
  }
  struct stat status {};
  if (fstat(fd.Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    throw Failure(ivo::result::kInvalidArgument, path + " is not a regular file");
  }
  std::string text;
  char buffer[65536];
  ssize_t size = 0;
  while ((size = read(fd.Get(), buffer, sizeof buffer)) != 0) {
    if (size < 0 && errno != EINTR) {
      throw Failure(ivo::result::kSystemError, "Can't read " + path + ": " + std::strerror(errno));
    }
    text.append(buffer, static_cast<size_t>(std::max<ssize_t>(size, 0)));
  }
  return text;
}

std::string Base64(const std::string& bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t at = 0; at < bytes.size(); at += 3) {
    const size_t left = bytes.size() - at;
    uint32_t group = static_cast<unsigned char>(bytes[at]) << 16;
    group |= left > 1 ? static_cast<unsigned char>(bytes[at + 1]) << 8 : 0;
    group |= left > 2 ? static_cast<unsigned char>(bytes[at + 2]) : 0;
    out += kDigits[(group >> 18) & 63];
    out += kDigits[(group >> 12) & 63];
    out += left > 1 ? kDigits[(group >> 6) & 63] : '=';
    out += left > 2 ? kDigits[group & 63] : '=';
  }
  return out;
}

std::string WriteXml(const pt::ptree& tree) {
  std::ostringstream out;
  pt::write_xml(out, tree, pt::xml_writer_make_settings<std::string>(' ', 2));
  return out.str();
}

void SetText(SovText* text, const std::string& content) {
  text->data = new char[content.size() + 1];
  std::memcpy(text->data, content.c_str(), content.size() + 1);
  text->size = content.size();
}

// The step named by the test hook file beside this library: nullopt without the file.
std::optional<std::string> FailingStep() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&sov_app_infra), &info) == 0 || info.dli_fname == nullptr) {
    return std::nullopt;
  }
  const fs::path marker = fs::path(info.dli_fname).parent_path() / "libtarn_infra.fail";
  std::error_code error;
  if (!fs::exists(fs::symlink_status(marker, error))) {
    return std::nullopt;
  }
  std::istringstream words(ReadRegularFile(marker.string()));
  std::string step;
  words >> step;
  return step;
}

void FailOnRequest(bool matches, const char* what) {
  if (matches) {
    throw Failure(ivo::result::kFail,
                  std::string(what) + " refused on purpose (libtarn_infra.fail)");
  }
}

// --- IXmlStorageFactory

int32_t OpenStorage(const char* path, SovXmlStorage** storage, SovError* error) {
  return Guarded(error, [&] {
    auto opened = std::make_unique<SovXmlStorage>();
    std::istringstream text(ReadRegularFile(path));
    try {
      pt::read_xml(text, opened->tree, pt::xml_parser::trim_whitespace);
    } catch (const pt::xml_parser_error& parse) {
      throw Failure(ivo::result::kBadFormat, std::string(path) + ": " + parse.message() +
                                                 " at line " + std::to_string(parse.line()));
    }
    if (opened->tree.size() != 1) {
      throw Failure(ivo::result::kBadFormat, std::string(path) + " has no single root element");
    }
    *storage = opened.release();
  });
}

void CloseStorage(SovXmlStorage* storage) {
  delete storage;
}

// --- ISettingsExporter

int32_t ExportSettings(const SovXmlStorage* storage,
                       const SovRuntimeConfig* config,
                       SovText* out,
                       SovError* error) {
  return Guarded(error, [&] {
    pt::ptree document;
    pt::ptree& root = document.add("upgradeSettings", "");
    root.put("<xmlattr>.formatVersion", SOV_APP_INFRA_VERSION);
    root.add_child("database", storage->tree);
    pt::ptree& values = root.add("runtimeConfig", "");
    for (size_t i = 0; i < config->count; ++i) {
      const SovConfigValue& value = config->values[i];
      pt::ptree& node = values.add("value", value.value);
      node.put("<xmlattr>.section", value.section);
      node.put("<xmlattr>.key", value.key);
    }
    SetText(out, WriteXml(document));
  });
}

// --- IPersistentDataExporter

int32_t ExportData(const char* directory, SovText* out, SovError* error) {
  return Guarded(error, [&] {
    std::error_code failure;
    if (!fs::is_directory(fs::symlink_status(directory, failure))) {
      ThrowNotFound(directory);
    }
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(directory)) {
      if (entry.is_regular_file() && !entry.is_symlink()) {
        files.push_back(entry.path());
      }
    }
    std::sort(files.begin(), files.end());
    pt::ptree document;
    pt::ptree& root = document.add("persistentData", "");
    root.put("<xmlattr>.formatVersion", SOV_APP_INFRA_VERSION);
    for (const fs::path& file : files) {
      const std::string content = ReadRegularFile(file.string());
      pt::ptree& entry = root.add("entry", Base64(content));
      entry.put("<xmlattr>.key", file.filename().string());
      entry.put("<xmlattr>.size", content.size());
    }
    SetText(out, WriteXml(document));
  });
}

const SovXmlStorageFactory kStorageFactory = {OpenStorage, CloseStorage};
const SovSettingsExporter kSettingsExporter = {ExportSettings};
const SovPersistentDataExporter kDataExporter = {ExportData};

// --- The library's table

const void* GetInterface(const char* name) {
  try {
    if (name == nullptr || FailingStep() == "interface") {
      return nullptr;
    }
    const std::string wanted = name;
    if (wanted == "IXmlStorageFactory") {
      return &kStorageFactory;
    }
    if (wanted == "ISettingsExporter") {
      return &kSettingsExporter;
    }
    if (wanted == "IPersistentDataExporter") {
      return &kDataExporter;
    }
  } catch (...) {
  }
  return nullptr;
}

void DestroyTaskManager(SovTaskManager* manager) {
  if (manager != nullptr) {
    if (manager->storage != nullptr) {
      manager->params.storage_factory->close(manager->storage);
    }
    delete manager;
  }
}

int32_t CreateTaskManager(const SovExportTaskParams* params,
                          SovTaskManager** manager,
                          SovError* error) {
  return Guarded(error, [&] {
    if (params == nullptr || params->settings_xml == nullptr || params->kvdb_dir == nullptr ||
        params->config == nullptr || params->storage_factory == nullptr ||
        params->settings_exporter == nullptr || params->data_exporter == nullptr) {
      throw Failure(ivo::result::kInvalidArgument, "Incomplete export task parameters");
    }
    const std::optional<std::string> failing = FailingStep();
    FailOnRequest(failing && *failing != "interface" && *failing != "export", "Task manager");
    std::unique_ptr<SovTaskManager, void (*)(SovTaskManager*)> created(
        new SovTaskManager{*params, params->kvdb_dir, nullptr}, DestroyTaskManager);
    SovError openError{};
    const int32_t code =
        params->storage_factory->open(params->settings_xml, &created->storage, &openError);
    if (ivo::Failed(code)) {
      throw Failure(code, openError.text);
    }
    std::error_code failure;
    if (!fs::is_directory(params->kvdb_dir, failure)) {
      ThrowNotFound(params->kvdb_dir);
    }
    *manager = created.release();
  });
}

void FreeText(SovText* text) {
  if (text != nullptr) {
    delete[] text->data;
    text->data = nullptr;
    text->size = 0;
  }
}

// Runs one exporter; its failure becomes the export's.
template <typename Step>
void RunStep(Step&& step) {
  SovError error{};
  const int32_t code = step(&error);
  if (ivo::Failed(code)) {
    throw Failure(code, error.text);
  }
}

int32_t RunExport(SovTaskManager* manager,
                  SovText* settings,
                  SovText* persistentData,
                  SovError* error) {
  SovText settingsText{};
  SovText dataText{};
  const int32_t code = Guarded(error, [&] {
    FailOnRequest(FailingStep() == "export", "Export");
    const SovExportTaskParams& params = manager->params;
    RunStep([&](SovError* stepError) {
      return params.settings_exporter->export_settings(manager->storage, params.config,
                                                       &settingsText, stepError);
    });
    RunStep([&](SovError* stepError) {
      return params.data_exporter->export_data(manager->kvdbDir.c_str(), &dataText, stepError);
    });
  });
  if (ivo::Failed(code)) {
    FreeText(&settingsText);
    FreeText(&dataText);
    return code;
  }
  *settings = settingsText;
  *persistentData = dataText;
  return code;
}

const SovAppInfraApi kApi = {SOV_APP_INFRA_VERSION, GetInterface, CreateTaskManager, RunExport,
                             DestroyTaskManager,    FreeText};

}  // namespace

const SovAppInfraApi* sov_app_infra(uint32_t version) {
  return version == SOV_APP_INFRA_VERSION ? &kApi : nullptr;
}
