#pragma once
#include <sstream>
#include <stdexcept>
#include <string>

// Minimal assertions for the black-box tests: a failed check throws, the runner prints where
// and why and the case fails.
namespace simtest {

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

template <typename A, typename B>
void CheckEqual(const A& actual, const B& expected, const char* actualText, const char* expectedText,
                const char* file, int line) {
  if (actual == expected) return;
  std::ostringstream out;
  out << file << ":" << line << ": " << actualText << " == " << expectedText << "\n  actual:   " << actual
      << "\n  expected: " << expected << "\n";
  throw Failure(out.str());
}

inline void CheckTrue(bool condition, const char* text, const std::string& note, const char* file, int line) {
  if (condition) return;
  std::ostringstream out;
  out << file << ":" << line << ": check failed: " << text;
  if (!note.empty()) out << " (" << note << ")";
  throw Failure(out.str());
}

}  // namespace simtest

#define CHECK(condition) ::simtest::CheckTrue((condition), #condition, "", __FILE__, __LINE__)
#define CHECK_MSG(condition, note) ::simtest::CheckTrue((condition), #condition, (note), __FILE__, __LINE__)
#define CHECK_EQ(actual, expected) \
  ::simtest::CheckEqual((actual), (expected), #actual, #expected, __FILE__, __LINE__)
