// `tarnwick verify` and `tarnwick drop`, callable on any BackupRoot (and so
// over a faulty file system in tests). Verify re-reads complete saves and
// compares each with its identity; it writes nothing but identity records,
// so it may run beside the relay. Drop removes one entry of aside/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "layout/backup_root.h"
#include "layout/identity.h"

namespace tarnwick {

struct VerifiedSave {
  enum class Verdict {
    Good,        // size and digest as recorded
    Adopted,     // had no identity: the one computed here is recorded
    Mismatch,    // size or digest differ from the record: held from forwarding
    Damaged,     // the identity record cannot be parsed; left as it is
    Unreadable,  // the save or its record could not be read (EACCES, EIO...)
    Gone,        // removed or moved aside while the run went on
  };
  std::string repo, save;
  std::string path;  // the save's path
  Verdict verdict = Verdict::Unreadable;
  std::int64_t bytes = -1;     // the size hashed; -1 when the save was not read through
  std::string digest;          // the digest computed here, when read through
  bool had_identity = false;   // recorded is the record found (Good and Mismatch)
  SaveIdentity recorded;
  std::string detail;          // why, for anything but Good and Adopted
  std::string record_error;    // the verdict could not be written
};

struct VerifyReport {
  std::string root;
  std::vector<VerifiedSave> saves;  // by repository, then save
  // Folders that could not be listed, names that are no save's: the run went on.
  std::vector<std::string> problems;
  std::size_t checked = 0;  // read through: good, adopted, mismatched or damaged
  std::int64_t bytes = 0;   // of the saves read through
  std::size_t good = 0, adopted = 0, mismatched = 0, damaged = 0, unreadable = 0, unrecorded = 0;
};

// Told the save being read, the bytes read of it so far and its size.
using VerifyProgress = std::function<void(const VerifiedSave& save, std::int64_t done, std::int64_t size)>;

// Verifies the complete saves named by target: "" every save, "REPO" one
// repository's, "REPO/SAVE" one save. now: the unix time recorded as the
// verification's. kInvalid for a target that is no safe name (or names a
// pending save), another error when the root or the named repository or
// save cannot be had; report holds what was verified otherwise.
Status VerifySaves(const BackupRoot& root, std::string_view target, std::int64_t now, VerifyReport& report,
                   const VerifyProgress& progress = {});

std::string FormatVerifyText(const VerifyReport& report);
// The summary's counts and the list of saves as one JSON object; the layout
// is described above its definition.
std::string FormatVerifyJson(const VerifyReport& report);
// 0: no mismatch; 1: a mismatch or a damaged identity record.
int VerifyExitStatus(const VerifyReport& report);

// Removes one entry of aside/: "aside/REPO/NAME" or "REPO/NAME". kInvalid
// for anything else (another folder, a name that is not safe, "..");
// kNotFound when it is not there.
Status DropAside(const BackupRoot& root, std::string_view entry, BackupRoot::path& removed);

}  // namespace tarnwick
