#pragma once

#include <filesystem>
#include <string>

#include "release/release_report.h"

namespace vexa {

struct StampOptions {
  std::filesystem::path installer;      // the built VexaInstaller.app
  std::filesystem::path configuration;  // a configuration.json (configure writes one)
  std::filesystem::path outputFolder;   // the stamped bundle goes here, under the same name
  bool replace = false;                 // --force: replace a bundle already there
};

// Makes a copy of the installer bundle that carries `configuration` in Contents/Resources: the
// configuration must pass the installer's validation; the bundle is copied with the installer's own
// copy tool (its ditto) into a hidden folder next to the output, the configuration written into
// it, and the copy proven by running its own --self-test and comparing the summary with the
// configuration. Only then is the copy renamed into place, atomically and never over an existing
// bundle unless `replace` is set. This build does not sign the installer bundle, so neither does
// this; a signed source bundle is refused, since changing its resources would break the seal.
//
// Returns the stamped bundle's path. Throws ReleaseRefusal naming the check that failed; tool and
// file errors pass through. On any failure the hidden copy is removed and nothing else was
// written. Main thread of the tool; blocks while the tools run.
std::filesystem::path stampInstaller(const StampOptions& options, ReleaseReport& report);

}  // namespace vexa
