#include "base/error.h"

#include <cstring>

#include <fmt/format.h>

namespace zm {

std::string os_error_text(int errnum) {
  char buf[256];
  // GNU strerror_r returns a pointer that may or may not be buf.
  const char* text = strerror_r(errnum, buf, sizeof buf);
  return fmt::format("{} (os error {})", text, errnum);
}

ManifestError ManifestError::io_errno(int errnum) {
  ManifestError e(Kind::Io);
  e.errnum_ = errnum;
  e.text_ = os_error_text(errnum);
  return e;
}

ManifestError ManifestError::io_custom(std::string text, int errnum) {
  ManifestError e(Kind::Io);
  e.errnum_ = errnum;
  e.text_ = std::move(text);
  return e;
}

ManifestError ManifestError::json(std::string message, uint64_t line, uint64_t column) {
  ManifestError e(Kind::Json);
  e.text_ = std::move(message);
  e.line_ = line;
  e.column_ = column;
  return e;
}

ManifestError ManifestError::message(std::string text) {
  ManifestError e(Kind::Message);
  e.text_ = std::move(text);
  return e;
}

ManifestError ManifestError::reason(std::string code, std::string message) {
  ManifestError e(Kind::Reason);
  e.code_ = std::move(code);
  e.text_ = std::move(message);
  return e;
}

std::string ManifestError::display() const {
  switch (kind_) {
    case Kind::Json:
      if (line_ == 0) return text_;
      return fmt::format("{} at line {} column {}", text_, line_, column_);
    case Kind::Reason:
      return fmt::format("{}: {}", code_, text_);
    case Kind::Io:
    case Kind::Message:
      break;
  }
  return text_;
}

}  // namespace zm
