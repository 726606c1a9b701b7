// The one owner of the backup root's layout: every name under it, and the
// file operations that keep those files whole across crashes.
//
//   saves/<repo>/<save>            a save; only ever appended to
//   saves/<repo>/<save>_pending    its pending marker: the count still missing
//   forwards/<repo>/<save>         its forwarding record: the offset to resume at
//   ids/<repo>/<save>              its identity: size, SHA-256, verification
//   aside/<repo>/<save>.<time>     bytes that did not match their identity
//   toforward                      saves still to forward, written at a stop
//   tmp/                           temporary files of atomic writes
//   forwarding.state               what the transmitter does, for status
//   relay.lock                     held by the running relay
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "base/status.h"
#include "layout/identity.h"
#include "layout/records.h"
#include "platform/file_system.h"

namespace tarnwick {

inline constexpr const char* kSavesDir = "saves";
inline constexpr const char* kForwardsDir = "forwards";
inline constexpr const char* kTempDir = "tmp";
inline constexpr const char* kIdsDir = "ids";
inline constexpr const char* kAsideDir = "aside";
inline constexpr const char* kQueueFile = "toforward";
inline constexpr const char* kStateFile = "forwarding.state";
inline constexpr const char* kLockFile = "relay.lock";

class BackupRoot {
 public:
  using path = std::filesystem::path;
  BackupRoot(path root, platform::FileSystem& fs) : root_(std::move(root)), fs_(&fs) {}

  const path& Path() const { return root_; }
  platform::FileSystem& Fs() const { return *fs_; }

  path SavesDir() const { return root_ / kSavesDir; }
  path RepoDir(const std::string& repo) const { return SavesDir() / repo; }
  path SavePath(const std::string& repo, const std::string& save) const { return RepoDir(repo) / save; }
  path MarkerPath(const std::string& repo, const std::string& save) const;
  path ForwardsDir() const { return root_ / kForwardsDir; }
  path RecordPath(const QueueEntry& e) const { return ForwardsDir() / e.repo / e.save; }
  path IdsDir() const { return root_ / kIdsDir; }
  path IdentityPath(const std::string& repo, const std::string& save) const { return IdsDir() / repo / save; }
  path AsideDir() const { return root_ / kAsideDir; }
  path QueueFile() const { return root_ / kQueueFile; }
  path TempDir() const { return root_ / kTempDir; }
  path StateFile() const { return root_ / kStateFile; }
  path LockFile() const { return root_ / kLockFile; }

  // Whether p is there: ok with exists set, or the error of a lookup that
  // could not tell (anything but "no such file").
  Status Exists(const path& p, bool& exists) const;
  // Creates dir when absent, and syncs its parent so that it survives a
  // crash before anything inside it is relied on.
  Status MakeDirectory(const path& dir) const;
  // Writes text as the whole content of p in one step: a temporary file in
  // tmp/ is written, synced and renamed over p, and p's directory is
  // synced. A crash or a failure leaves the old content or the new, never
  // an empty or partial file. durable = false skips the syncs: still never
  // a half-written file, but a crash may bring back the previous content
  // (for files that only inform).
  Status WriteAtomically(const path& p, std::string_view text, bool durable = true) const;
  // The whole content of a small file (at most cap bytes).
  Status ReadSmall(const path& p, std::string& text, std::size_t cap = 4096) const;
  // Removes p and syncs its directory; a p that is gone already is fine.
  Status RemoveDurably(const path& p) const;
  // Removes what writes cut short by a crash left in tmp/ (a start-up step).
  Status EmptyTemp() const;

  // The forwarding record of e: NotFound when it has none.
  Status ReadRecord(const QueueEntry& e, ForwardRecord& out) const;
  // Creates forwards/ and forwards/<repo> as needed; atomic and synced.
  Status WriteRecord(const QueueEntry& e, const ForwardRecord& r) const;
  Status RemoveRecord(const QueueEntry& e) const;

  // The identity of a save: NotFound when it has none, kInvalid when its
  // record is damaged.
  Status ReadIdentity(const std::string& repo, const std::string& save, SaveIdentity& out) const;
  // Creates ids/ and ids/<repo> as needed; atomic and synced.
  Status WriteIdentity(const std::string& repo, const std::string& save, const SaveIdentity& id) const;
  Status RemoveIdentity(const std::string& repo, const std::string& save) const;
  // Removes the identities whose save and marker are both gone (a start-up
  // step); removed counts them. One that cannot be looked at stays.
  Status RemoveStaleIdentities(int& removed) const;
  // Moves the bytes of a save that did not match its identity out of the
  // saves tree, to aside/<repo>/<save>.<unix time>[_n]; where is set to
  // the new path. The save is then absent.
  Status MoveAside(const std::string& repo, const std::string& save, path& where) const;
  // Hashes the first size bytes of the file at p into h; NotFound when it
  // is gone, kInvalid when it is shorter. progress, when set, is told the
  // bytes hashed so far and may return false to stop (kStopped).
  Status HashFile(const path& p, std::int64_t size, class Sha256& h,
                  const std::function<bool(std::int64_t)>& progress = {}) const;

 private:
  path root_;
  platform::FileSystem* fs_;
};

}  // namespace tarnwick
