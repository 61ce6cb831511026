// Printf-style formatting into a std::string, as the class library's string
// Format does it.
//
// The text is first formatted into a 4096-byte buffer on the stack; when it
// does not fit, into a heap buffer that starts at twice that size and is doubled
// until the whole text fits. Nothing is ever truncated. A format the C library
// rejects (an encoding error) gives the empty string.
//
// Header-only; thread-safe (no state).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

inline std::string FormatStringV(const char* a_pzFormat, std::va_list a_args) {
  constexpr std::size_t kFirstBuffer = 4096;
  char buffer[kFirstBuffer];
  std::va_list args;
  va_copy(args, a_args);
  int length = std::vsnprintf(buffer, sizeof buffer, a_pzFormat, args);
  va_end(args);
  if (length < 0) return std::string();
  if (static_cast<std::size_t>(length) < sizeof buffer) return std::string(buffer, static_cast<std::size_t>(length));

  std::size_t size = 2 * kFirstBuffer;
  while (size <= static_cast<std::size_t>(length)) size *= 2;
  std::unique_ptr<char[]> heap(new char[size]);
  va_copy(args, a_args);
  length = std::vsnprintf(heap.get(), size, a_pzFormat, args);
  va_end(args);
  if (length < 0) return std::string();
  return std::string(heap.get(), static_cast<std::size_t>(length));
}

__attribute__((format(printf, 1, 2))) inline std::string FormatString(const char* a_pzFormat, ...) {
  std::va_list args;
  va_start(args, a_pzFormat);
  std::string text = FormatStringV(a_pzFormat, args);
  va_end(args);
  return text;
}
