#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "platform/file_system.h"
#include "platform/platform.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

TEST(FileLock, OneOwnerAtATimeAndTheLockGoesWithItsOwner) {
  const fs::path dir = fs::temp_directory_path() / ("tarnwick-lock-" + std::to_string(std::random_device{}()));
  fs::create_directories(dir);
  const std::string path = (dir / "relay.lock").string();

  platform::FileLock first = platform::TryLockFile(path);
  ASSERT_TRUE(first.Held()) << platform::ErrorText(first.Error());
  EXPECT_TRUE(fs::exists(path));
  // A second owner, even in the same process, is refused at once.
  platform::FileLock second = platform::TryLockFile(path);
  EXPECT_FALSE(second.Held());
  EXPECT_TRUE(second.Busy());

  platform::FileLock moved = std::move(first);
  EXPECT_FALSE(first.Held());
  EXPECT_TRUE(platform::TryLockFile(path).Busy()) << "a move must not release the lock";
  moved.Release();
  EXPECT_TRUE(platform::TryLockFile(path).Held());

  // A directory that is not there is an error, not someone else's lock.
  platform::FileLock nowhere = platform::TryLockFile((dir / "missing" / "relay.lock").string());
  EXPECT_FALSE(nowhere.Held());
  EXPECT_FALSE(nowhere.Busy());
  EXPECT_NE(nowhere.Error(), 0);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tarnwick
