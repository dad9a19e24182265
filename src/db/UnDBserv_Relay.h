#pragma once
// The package parser: relay packages (first word 4000) carrying messages and files between users,
// stored as mail in the mail folder or forwarded at once.
#include <memory>
#include <string>

#include "db/UnDBType.h"

namespace merivo {

// Handles one complete relay package from `sender`. `package` holds it from offset 0: a memory
// file, or, for a package the receive path spilled to disk, the spill file at spillPath (empty
// for memory files). The handler closes (resets) a spill file when it renames it into place.
void HandleRelayPackage(TMyNameUser& sender, std::unique_ptr<File>& package,
                        const std::string& spillPath);

}  // namespace merivo
