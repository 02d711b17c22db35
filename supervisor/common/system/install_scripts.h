// What a patch adds to the system outside its own directory, and takes away again: the
// predefined links (the control tool and the response tool in /usr/bin, the sleep hooks)
// and whatever the patch's own script "opt/brevantis/tarn/libexec/symlinks" does. The
// script is run as "<script> install <patch root>" and "<script> uninstall <patch root>"
// and must succeed; a patch without the script has no links of its own.
#pragma once

#include "supervisor/common/files/utils.h"
#include "supervisor/common/paths/product_paths.h"

namespace sov::supervisor {

class InstallScripts : public Utils {
 public:
  using Utils::Utils;

  // Points the predefined links at the product's install-current link (so that they
  // follow every later switch of the current patch), then runs the patch's script.
  void RunInstall(const ProductPaths& product, const PatchPaths& patch) const;
  // Removes the predefined links (only where they are links) and runs the patch's script.
  void RunUninstall(const ProductPaths& product, const PatchPaths& patch) const;

 private:
  struct Link {
    Path link;
    Path target;
  };
  std::vector<Link> PredefinedLinks(const ProductPaths& product) const;
  void RunScript(const PatchPaths& patch, const char* action) const;
};

}  // namespace sov::supervisor
