/* The C entry point of the product's application infrastructure library,
 * "opt/brevantis/tarn/lib64/libtarn_infra.so" in every patch. The launcher's export loads it
 * at run time (dlopen of the full path) to write the product's settings and persistent data
 * for the next patch. The launcher carries its own C++ runtime, so nothing but C crosses
 * this boundary: plain structs and function pointers, NUL-terminated UTF-8 strings, result
 * codes instead of exceptions. The library never throws out of a call.
 *
 * Use, in this order:
 *   const SovAppInfraApi* api = sov_app_infra(SOV_APP_INFRA_VERSION);  // NULL: not served
 *   factory  = api->get_interface("IXmlStorageFactory");              // NULL: not offered
 *   settings = api->get_interface("ISettingsExporter");
 *   data     = api->get_interface("IPersistentDataExporter");
 *   api->create_task_manager(&params, &manager, &error);  // opens the settings database
 *   api->run_export(manager, &settingsXml, &persistentDataXml, &error);
 *   api->free_text(&settingsXml); api->free_text(&persistentDataXml);
 *   api->destroy_task_manager(manager);
 * The caller writes the two texts to its files; the library writes nothing.
 *
 * Results: 0 on success, a negative result code of the component framework on failure
 * (ivo/result.h), with a message in the caller's SovError.
 *
 * Export format, version 1.
 * Settings ("for_upgrade_settings.xml"):
 *   <upgradeSettings formatVersion="1">
 *     <database>  the settings database's root element, as read  </database>
 *     <runtimeConfig>
 *       <value section="General" key="UseFanotify">yes</value>  one per configuration value,
 *       ...                                                       in the caller's order
 *     </runtimeConfig>
 *   </upgradeSettings>
 * Persistent data ("for_upgrade_peristent_data.xml"): one entry per regular file of the
 * key/value directory, in name order; the key is the file name, the content is base64:
 *   <persistentData formatVersion="1">
 *     <entry key="schema_version" size="2">MQo=</entry>
 *   </persistentData>
 * Anything else in that directory (links, directories, devices) is not data and is left out.
 *
 * Test hook: a file "libtarn_infra.fail" beside the library makes one step fail on purpose,
 * named by the file's first word: "interface" (get_interface offers nothing), "export"
 * (run_export fails), anything else or nothing (create_task_manager fails).
 */
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SOV_APP_INFRA_VERSION 1u
/* The name of the entry point, for dlsym. */
#define SOV_APP_INFRA_ENTRY "sov_app_infra"

/* A message of a failed call, written by the library, always NUL-terminated. */
typedef struct SovError {
  char text[512];
} SovError;

/* Text that the library allocated; released with SovAppInfraApi.free_text. */
typedef struct SovText {
  char* data;
  size_t size;
} SovText;

/* The runtime configuration: the values of the product's runtime configuration record as
 * text, by section and key (flags "yes" or "no", numbers in decimal). */
typedef struct SovConfigValue {
  const char* section;
  const char* key;
  const char* value;
} SovConfigValue;

typedef struct SovRuntimeConfig {
  const SovConfigValue* values;
  size_t count;
} SovRuntimeConfig;

/* An open settings database. */
typedef struct SovXmlStorage SovXmlStorage;

/* "IXmlStorageFactory": opens the product's XML settings databases. */
typedef struct SovXmlStorageFactory {
  int32_t (*open)(const char* path, SovXmlStorage** storage, SovError* error);
  void (*close)(SovXmlStorage* storage);
} SovXmlStorageFactory;

/* "ISettingsExporter": the settings of an open database and the runtime configuration, in
 * the export format. */
typedef struct SovSettingsExporter {
  int32_t (*export_settings)(const SovXmlStorage* storage,
                             const SovRuntimeConfig* config,
                             SovText* out,
                             SovError* error);
} SovSettingsExporter;

/* "IPersistentDataExporter": the key/value files of a directory, in the export format. */
typedef struct SovPersistentDataExporter {
  int32_t (*export_data)(const char* directory, SovText* out, SovError* error);
} SovPersistentDataExporter;

/* What the task manager works on. Every pointer must stay valid until the manager is
 * destroyed; the interfaces are those that get_interface gave. */
typedef struct SovExportTaskParams {
  const char* settings_xml; /* the settings database */
  const char* kvdb_dir;     /* the key/value directory of the persistent data */
  const SovRuntimeConfig* config;
  const SovXmlStorageFactory* storage_factory;
  const SovSettingsExporter* settings_exporter;
  const SovPersistentDataExporter* data_exporter;
} SovExportTaskParams;

typedef struct SovTaskManager SovTaskManager;

typedef struct SovAppInfraApi {
  uint32_t version;
  /* The interface table of that name, or NULL. */
  const void* (*get_interface)(const char* name);
  /* Opens the settings database; fails when an input is missing or unreadable. */
  int32_t (*create_task_manager)(const SovExportTaskParams* params,
                                 SovTaskManager** manager,
                                 SovError* error);
  /* Both texts are set on success only. */
  int32_t (*run_export)(SovTaskManager* manager,
                        SovText* settings,
                        SovText* persistent_data,
                        SovError* error);
  void (*destroy_task_manager)(SovTaskManager* manager);
  void (*free_text)(SovText* text);
} SovAppInfraApi;

/* The library's table for `version`, or NULL when it does not serve that version. */
typedef const SovAppInfraApi* (*SovAppInfraEntry)(uint32_t version);
__attribute__((visibility("default"))) const SovAppInfraApi* sov_app_infra(uint32_t version);

#ifdef __cplusplus
}
#endif
