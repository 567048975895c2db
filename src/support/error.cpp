#include "support/error.h"

#include <cctype>
#include <cstring>

namespace velk {
namespace {

std::string capitalised(std::string text) {
  if (!text.empty()) text[0] = char(std::toupper(static_cast<unsigned char>(text[0])));
  return text;
}

// Joins the pieces and closes the sentence (a detail may already end with its own stop).
std::string sentence(std::string text) {
  text = capitalised(std::move(text));
  if (text.empty()) return text;
  const char last = text.back();
  if (last != '.' && last != '!' && last != '?') text += '.';
  return text;
}

std::string withDetail(std::string text, const std::string& detail) {
  if (!detail.empty()) text += ": " + detail;
  return text;
}

}  // namespace

std::string describe(const Error& e) {
  std::string text;
  switch (e.kind) {
    case ErrorKind::Io: {
      text = e.subject.empty() ? std::string("the device did not answer") : e.subject + " failed";
      if (e.sector) text += " at sector " + std::to_string(*e.sector);
      std::string why = e.detail;
      if (why.empty() && e.errnum > 0) why = std::strerror(e.errnum);
      text = withDetail(std::move(text), why);
      break;
    }
    case ErrorKind::Corrupt:
      text = withDetail((e.subject.empty() ? std::string("the data") : e.subject) + " is damaged", e.detail);
      break;
    case ErrorKind::Unsupported:
      text = e.subject.empty() ? e.detail : withDetail(e.subject + " is not supported", e.detail);
      if (text.empty()) text = "this is not supported";
      break;
    case ErrorKind::Cancelled:
      text = "stopped by the user";
      break;
    case ErrorKind::Usage:
      text = e.subject.empty() ? e.detail : withDetail(e.subject, e.detail);
      if (text.empty()) text = "the request is not valid";
      break;
    case ErrorKind::NotFound:
      text = withDetail((e.subject.empty() ? std::string("it") : e.subject) + " was not found", e.detail);
      break;
  }
  return sentence(std::move(text));
}

}  // namespace velk
