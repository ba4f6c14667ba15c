#pragma once
// Host strings as UTF-8 text for our messages. A host string may hold lone surrogates, which
// UTF-8 cannot carry; messages then show U+FFFD in their place rather than fail. The bottom of
// the host layer beside PyRef: nothing here raises or takes a host error.

#include <optional>
#include <string>
#include <string_view>

#include "host/py_ref.hpp"

namespace tondra::host {

// Decodes `bytes` as UTF-8, replacing each maximal subpart of an ill-formed sequence by one
// U+FFFD (so the three bytes of an encoded lone surrogate become three replacement characters,
// and a truncated but well-begun sequence becomes one).
std::string utf8_lossy(std::string_view bytes);

// The text of the host string `str`; lone surrogates come out as U+FFFD. Null only if the host
// ran out of memory, with its error pending.
std::optional<std::string> string_text(PyObject* str);

// repr(object) as text, for debug texts; never fails ("<unrepresentable object>" instead).
std::string repr_text(PyObject* object);

}  // namespace tondra::host
