#pragma once
// The database service: bringing a database into use at start-up, the file primitives of a loaded
// database, the processing of requests.
#include <cstddef>
#include <cstdint>
#include <string>

#include "db/UnDBType.h"

namespace merivo {

// Start-up of one database with a data file: load and archive, log "OK! Data correction - " +
// alias, build the date index, report dates out of order, set firstDate. Throws when a step fails;
// the caller logs "Error in creating database index or correction:" + alias.
void StartDatabase(TMyDBUser& db);

// Handles one complete request package (first word not 4000) from `sender`. `size` is the number
// of bytes received; fields beyond it read as zero.
void ProcessRequest(TMyNameUser& sender, const std::string& host, const std::uint8_t* package,
                    std::size_t size);

}  // namespace merivo
