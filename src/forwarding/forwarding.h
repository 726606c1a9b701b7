// Forwarding: passes complete saves to the next machine of the chain.
#pragma once

#include <filesystem>
#include <string>

namespace tarnwick {

class IniFile;

void ReadForwardSettings(const IniFile& ini);
void ReplayForwardQueue(const std::filesystem::path& backup_root);
void ForwardHandOff(const std::string& repo, const std::string& save);
void ForwardCleanup();

}  // namespace tarnwick
