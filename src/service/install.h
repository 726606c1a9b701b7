// "install" and "delete": one relay instance registered with the service
// manager, or removed from it.
#pragma once

#include <string>

namespace tarnwick {

// Registers the relay whose settings.ini and PEM files are in dir (empty:
// the executable's directory) as instance name (empty: the base name of
// that directory), run as user, "USER" or "USER:GROUP" (empty: root). The
// backup root and the listening ports come from dir's settings.ini.
// Messages go to standard output and standard error; false on failure.
// On Windows the one service "Tarnwick" is registered and the arguments are
// not used.
bool InstallRelayService(const std::string& name, const std::string& dir, const std::string& user);

// Removes instance name (empty: the base name of dir, or of the
// executable's directory when dir is empty too); false when it was not
// there or could not be removed.
bool DeleteRelayService(const std::string& name, const std::string& dir);

}  // namespace tarnwick
