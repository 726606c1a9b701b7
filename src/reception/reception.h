// Reception: the worker that takes inbound streams and stores them as saves.
#pragma once

#include <filesystem>
#include <string>

#include "channel/tls.h"

namespace tarnwick {

inline constexpr const char* SAVES_DIR = "saves";

// Stores one stream as a save under backup_root. Returns true when the
// stream was taken whole and its save is safely written (complete or
// recorded as pending); false when it was refused or could not be stored, so
// the caller does not confirm it to the sender.
bool SaveSession(TlsSession& session, const std::filesystem::path& backup_root);

void ReceiverWorker(int argc, char** argv);

}  // namespace tarnwick
