// Removal of core dumps that belong to other product versions, after an upgrade. A dump's
// file name carries the version that wrote it ("<anything>_12.6.0.118_<anything>.dmp").
#pragma once

#include "supervisor/common/files/utils.h"
#include "supervisor/common/paths/product_paths.h"
#include "supervisor/common/upgrade/version.h"

#include <boost/property_tree/ptree_fwd.hpp>
#include <boost/regex.hpp>

namespace sov::supervisor {

class CoreDumps : public Utils {
 public:
  // The dumps directory is "General.CoreDumpsPath" of `ini` when present, else
  // `product`'s "common/dumps/"; the per-user root is "common/dumps-user/".
  CoreDumps(ivo::TracerPtr tracer,
            const ProductPaths& product,
            const boost::property_tree::ptree& ini);

  // Cleans the dumps directory (when it exists) and every directory directly below the
  // per-user root (plain files there stay). Throws the file-system error when a directory cannot be
  // read or an entry cannot be removed; the entries after it stay.
  void RemoveOtherVersions(const Version& current) const;

  // Removes every entry of `directory` whose name does not match `keep` as a whole.
  void CleanDirectory(const Path& directory, const boost::regex& keep) const;

  // ".*_<major>\.<minor>\.<build>\.<revision>_.*\.dmp$".
  static boost::regex KeepPattern(const Version& version);

 private:
  Path dumpsDir_;
  Path userDumpsRoot_;
};

}  // namespace sov::supervisor
