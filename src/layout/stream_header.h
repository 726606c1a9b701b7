// The header that opens every backup stream: "<repo>",
// "<repo> <count> <save name>", "<repo> <count> <save name> <offset>" or
// "<repo> <count> <save name> <offset> sha256:<64 hex>", then a NUL. Its parser and its writer, and the rules for the names it
// carries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarnwick {

inline constexpr std::size_t kHeaderFieldMax = 450;
inline constexpr std::size_t kFileNameMax = 255;
inline constexpr std::string_view kPendingSuffix = "_pending";
// The header and its NUL must come within this many bytes of the stream.
inline constexpr std::size_t kHeaderMax = 2048;

struct StreamHeader {
  // FourField declares where the stream's bytes start in the save, so a
  // receiver can tell a resend or a gap from a plain resume.
  enum class Form { OneField, ThreeField, FourField, Malformed };
  Form form = Form::Malformed;
  std::string repo;
  std::int64_t count = 0;    // announced bytes; 0 for a one-field stream
  std::string save;          // empty for a one-field stream
  std::int64_t offset = 0;   // four fields: the save's bytes before this stream
  // Four fields and a fifth token "sha256:<hex>": the whole save's SHA-256,
  // its size being offset + count. Empty otherwise.
  std::string digest;
  std::size_t length = 0;    // bytes of header text plus its NUL
  // For a malformed header: what was wrong, for the failure report.
  std::string error;
  long long error_code = 0;
};

// The header of a stream that sends count bytes of save from offset on,
// with its NUL: what a forwarding relay writes.
std::string FormatStreamHeader(const std::string& repo, std::int64_t count, const std::string& save,
                               std::int64_t offset, const std::string& digest = {});
// A one-field header ("<repo>" and its NUL): what an originating machine writes.
std::string FormatStreamHeader(const std::string& repo);

// Parses the start of a stream, which must hold the header and its NUL.
// Fields are runs of non-blank characters of at most 450, a longer run going
// on as the next field; a second field that is not a number makes the header
// one-field; a fourth field is the offset when it is a number and is ignored
// otherwise (as relays without offsets ignore everything after the third);
// after an offset, a fifth token "sha256:<64 lowercase hex>" is the save's
// digest, and one of any other shape is ignored.
StreamHeader ParseStreamHeader(std::string_view first_read);

// A name usable as one path component under the saves tree on every
// platform a chain may cross: not empty, not "." or "..", none of
// / \ : * ? " < > | or a control character, no trailing dot or blank, not a
// Windows device name (CON, NUL.txt, COM1, ...), short enough to carry
// "_pending" within one file name.
bool IsSafeName(std::string_view name);
// A save name must also not look like another save's pending marker.
bool IsSafeSaveName(std::string_view name);

}  // namespace tarnwick
