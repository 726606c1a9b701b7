// The one error type: every part returns a Status, so a caller can tell
// "absent" from "could not look", a refused peer from an unreachable one,
// and only start-up decides what is fatal.
#pragma once

#include <string>
#include <utility>

namespace tarnwick {

class Status {
 public:
  enum class Kind {
    kOk,
    kNotFound,  // the only kind that means "gone"
    kIoError,   // the disk or the system failed (a permission, EIO, EMFILE)
    kNoSpace,   // the disk or a quota is full
    kNetwork,   // a peer could not be reached or the link broke
    kRefused,   // a peer refused us, or we refused it (certificates, protocol)
    kTimedOut,
    kStopped,   // a stop cut it short
    kInvalid,   // bad input: a header, a name, a setting, a file's content
    kConflict,  // two different things under one name
  };

  Status() = default;
  static Status Ok() { return {}; }
  // words: what failed and why, for an operator. step and code: the old
  // step name and its code ("fopen_s", 28), kept in the line for those
  // who know them.
  static Status Error(Kind kind, std::string words, std::string step = {}, long long code = 0) {
    return Status(kind, std::move(words), std::move(step), code);
  }
  // From a system error code (errno, GetLastError): "<words>: <system text>",
  // of kind kNotFound for "no such file", kNoSpace for a full disk, else
  // kIoError.
  static Status FromSystem(int code, const std::string& words, std::string step);

  bool ok() const { return kind_ == Kind::kOk; }
  Kind kind() const { return kind_; }
  bool IsNotFound() const { return kind_ == Kind::kNotFound; }
  bool IsStopped() const { return kind_ == Kind::kStopped; }
  const std::string& words() const { return words_; }
  const std::string& step() const { return step_; }
  long long code() const { return code_; }

  // The one line an operator reads: "<words> [<step> <code>]", or the
  // words alone when there is no step.
  std::string Line() const;
  // The same failure with more words before it ("cannot store x: ...").
  Status Within(const std::string& context) const;
  // The same failure with more words after it ("...; it stays pending").
  Status Then(const std::string& more) const;

 private:
  Status(Kind kind, std::string words, std::string step, long long code)
      : kind_(kind), words_(std::move(words)), step_(std::move(step)), code_(code) {}
  Kind kind_ = Kind::kOk;
  std::string words_, step_;
  long long code_ = 0;
};

}  // namespace tarnwick
