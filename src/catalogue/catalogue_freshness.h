// What makes a signed catalogue current: its "issued" serial is no older
// than the newest this launcher has accepted, and its "expires" time has not
// come. So a captured older document, one that still lists a module since
// found bad, cannot be served again.
#ifndef LAUNCHER_CATALOGUE_CATALOGUE_FRESHNESS_H
#define LAUNCHER_CATALOGUE_CATALOGUE_FRESHNESS_H

#include <json/value.h>

#include <cstdint>
#include <string>

// The document's own top-level members, which never name a module: "issued",
// a serial that each new document raises, and "expires", seconds since
// 1970-01-01 UTC. Both are JSON integers from 0 to 2^63-1.
struct CatalogueStamp {
  std::int64_t issued;
  std::int64_t expires;
};

// False when the document is no object or either member is missing or not
// such an integer (a real, a text).
bool readCatalogueStamp(const Json::Value& document, CatalogueStamp& stamp);

// Whether a stamped document may be taken at time now (seconds since 1970)
// by a launcher that has accepted serial accepted: an equal serial is the
// same document fetched again.
bool isCurrentCatalogue(const CatalogueStamp& stamp, std::int64_t now,
                        std::int64_t accepted);

// The accepted-serial record: a file beside the modules directory holding
// the serial in decimal. Empty text when the directory is unknown.
std::string acceptedSerialPath(const std::string& modulesDirectory);

// The recorded serial; 0 (every serial passes) when the file is missing or
// damaged. Only this launcher writes the file, and atomically, so damage
// comes from outside; whoever can write beside the launcher can replace the
// launcher itself, and refusing every document would leave it without a
// catalogue for good. The expiry still bounds what can be replayed.
std::int64_t readAcceptedSerial(const std::string& path);

// Writes serial through a temporary file moved into place in one step.
bool recordAcceptedSerial(const std::string& path, std::int64_t serial);

#endif
