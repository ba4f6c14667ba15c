#include "host/text.hpp"

#include <cstdint>

namespace tondra::host {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Continuation bytes of a well-formed sequence lie in 0x80..0xBF, except that the first one is
// narrowed after some lead bytes to exclude overlong forms, surrogates and values past U+10FFFF.
struct LeadByte {
  int continuation_count;  // 0: not a lead byte of a multi-byte sequence
  std::uint8_t first_low;
  std::uint8_t first_high;
};

constexpr LeadByte classify(std::uint8_t b) noexcept {
  if (b >= 0xC2 && b <= 0xDF) return {1, 0x80, 0xBF};
  if (b == 0xE0) return {2, 0xA0, 0xBF};
  if (b == 0xED) return {2, 0x80, 0x9F};
  if (b >= 0xE1 && b <= 0xEF) return {2, 0x80, 0xBF};
  if (b == 0xF0) return {3, 0x90, 0xBF};
  if (b >= 0xF1 && b <= 0xF3) return {3, 0x80, 0xBF};
  if (b == 0xF4) return {3, 0x80, 0x8F};
  return {0, 0, 0};
}

}  // namespace

std::string utf8_lossy(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<std::uint8_t>(bytes[i]);
    if (lead < 0x80) {
      text += static_cast<char>(lead);
      ++i;
      continue;
    }
    const LeadByte kind = classify(lead);
    // Walk the longest well-formed prefix; it is one maximal subpart if it is incomplete.
    std::size_t end = i + 1;
    for (int k = 0; k < kind.continuation_count && end < bytes.size(); ++k) {
      const auto c = static_cast<std::uint8_t>(bytes[end]);
      const std::uint8_t low = k == 0 ? kind.first_low : 0x80;
      const std::uint8_t high = k == 0 ? kind.first_high : 0xBF;
      if (c < low || c > high) break;
      ++end;
    }
    if (kind.continuation_count > 0 &&
        end - i == static_cast<std::size_t>(kind.continuation_count) + 1) {
      text.append(bytes.substr(i, end - i));
    } else {
      text.append(kReplacement);
    }
    i = end;
  }
  return text;
}

std::optional<std::string> string_text(PyObject* str) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) {
    return std::string(data, static_cast<std::size_t>(size));
  }
  // Only lone surrogates stop the strict encoding; keep them as bytes and replace them.
  PyErr_Clear();
  const PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  if (!bytes) return std::nullopt;
  return utf8_lossy(std::string_view(PyBytes_AS_STRING(bytes.get()),
                                     static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
}

std::string repr_text(PyObject* object) {
  const PyRef repr = PyRef::steal(PyObject_Repr(object));
  if (repr) {
    if (std::optional<std::string> text = string_text(repr.get())) return std::move(*text);
  }
  PyErr_Clear();
  return "<unrepresentable object>";
}

}  // namespace tondra::host
