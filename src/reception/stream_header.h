// The header that opens every backup stream: "<repo>" or
// "<repo> <count> <save name>", then a NUL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarnwick {

inline constexpr std::size_t kHeaderFieldMax = 450;
inline constexpr std::size_t kFileNameMax = 255;
inline constexpr std::string_view kPendingSuffix = "_pending";

struct StreamHeader {
  enum class Form { OneField, ThreeField, Malformed };
  Form form = Form::Malformed;
  std::string repo;
  std::int64_t count = 0;    // announced bytes; 0 for a one-field stream
  std::string save;          // empty for a one-field stream
  std::size_t length = 0;    // bytes of header text plus its NUL
  // For a malformed header: what was wrong, for the failure report.
  std::string error;
  long long error_code = 0;
};

// Parses the first read of a stream. The header and its NUL must lie within
// it; fields are runs of non-blank characters of at most 450, a longer run
// going on as the next field; a second field that is not a number makes the
// header one-field.
StreamHeader ParseStreamHeader(std::string_view first_read);

// A name usable as one path component under the saves tree: not empty, not
// "." or "..", no "/", "\", ":" or control character, short enough to carry
// "_pending" within one file name.
bool IsSafeName(std::string_view name);

}  // namespace tarnwick
