#include "base/status.h"

#include "platform/file_system.h"

namespace tarnwick {

Status Status::FromSystem(int code, const std::string& words, std::string step) {
  const Kind kind = platform::IsNotFound(code)  ? Kind::kNotFound
                    : platform::IsNoSpace(code) ? Kind::kNoSpace
                                                : Kind::kIoError;
  return Status(kind, words + ": " + platform::ErrorText(code), std::move(step), code);
}

std::string Status::Line() const {
  if (step_.empty()) return words_;
  // "<step> failed with <code>" is how these failures always read: searches
  // and alerts written for it keep finding them.
  return words_ + " [" + step_ + " failed with " + std::to_string(code_) + "]";
}

Status Status::Within(const std::string& context) const {
  Status s = *this;
  s.words_ = context + ": " + words_;
  return s;
}

Status Status::Then(const std::string& more) const {
  Status s = *this;
  s.words_ += more;
  return s;
}

}  // namespace tarnwick
