#include "optim/core/optim_error.hpp"

#include <cstdio>

namespace tondra::optim {
namespace {

// These prefixes, "Impossible Error" with its capital E included, and the PotentialBug plea
// below reach callers inside fault messages, which they match; so the texts stay as they are.
const char* prefix(OptimErrorKind kind) {
  switch (kind) {
    case OptimErrorKind::InvalidParameter: return "Invalid parameter: ";
    case OptimErrorKind::NotImplemented: return "Not implemented: ";
    case OptimErrorKind::NotInitialized: return "Not initialized: ";
    case OptimErrorKind::ConditionViolated: return "Condition violated: ";
    case OptimErrorKind::CheckpointNotFound: return "Checkpoint not found: ";
    case OptimErrorKind::PotentialBug: return "Potential bug: ";
    case OptimErrorKind::ImpossibleError: return "Impossible Error: ";
  }
  return "";
}

// Quotes a text the way a debug print of a string does.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
          char buf[12];
          std::snprintf(buf, sizeof buf, "\\u{%x}",
                        static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace

std::string OptimError::message() const {
  std::string out = prefix(kind) + quoted(text);
  if (kind == OptimErrorKind::PotentialBug) {
    out += ". This is potentially a bug. Please file a report on ";
    out += kIssueTracker;
  }
  return out;
}

std::string debug_text(const OptimError& error) { return error.message(); }

}  // namespace tondra::optim
