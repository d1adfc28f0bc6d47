// ManifestError: the one error value of every layer of the core library. The core never
// throws on input; every fallible operation returns Result<T>.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <utility>

namespace zm {

class ManifestError {
 public:
  enum class Kind { Io, Json, Message, Reason };

  // Io from an errno value: text is the system description + " (os error N)".
  static ManifestError io_errno(int errnum);
  // Io carrying its own text (probe messages, "index file changed ..."), errnum optional.
  static ManifestError io_custom(std::string text, int errnum = 0);
  // Json error; line 0 means "no position" and the display is the message alone.
  static ManifestError json(std::string message, uint64_t line, uint64_t column);
  static ManifestError message(std::string text);
  static ManifestError reason(std::string code, std::string message);

  Kind kind() const { return kind_; }
  int os_error() const { return errnum_; }           // Io only; 0 when none
  const std::string& code() const { return code_; }  // Reason only
  const std::string& text() const { return text_; }  // message / io text
  uint64_t line() const { return line_; }
  uint64_t column() const { return column_; }

  // The display text: Io -> text; Json -> "{} at line {} column {}" (message alone when
  // line is 0); Message -> text; Reason -> "{}: {}".
  std::string display() const;

 private:
  ManifestError(Kind kind) : kind_(kind) {}
  Kind kind_;
  int errnum_ = 0;
  uint64_t line_ = 0;
  uint64_t column_ = 0;
  std::string code_;
  std::string text_;
};

template <class T>
using Result = std::expected<T, ManifestError>;

// Convenience for returning an error from a function returning Result<T>.
inline std::unexpected<ManifestError> fail(ManifestError e) {
  return std::unexpected(std::move(e));
}

// The system's description of an errno value, followed by " (os error N)".
std::string os_error_text(int errnum);

}  // namespace zm
