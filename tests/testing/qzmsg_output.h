// Reading what qzmsg prints: its JSON lines, and the messages a `listen --json` reports.
#ifndef QZ_TESTS_TESTING_QZMSG_OUTPUT_H_
#define QZ_TESTS_TESTING_QZMSG_OUTPUT_H_

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "testing/child_process.h"

namespace qz_test {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr auto kStartTimeout = 5000ms;    // until a listener is ready
constexpr auto kMessageTimeout = 5000ms;  // until a message is printed
constexpr auto kExitTimeout = 10000ms;    // until a process has logged out and ended

inline std::optional<json> ParseJson(const std::optional<std::string>& line) {
  if (!line) return std::nullopt;
  json value = json::parse(*line, nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

// Reads child's output up to the first line that contains text; that line, or nothing when
// the output ended or timeout passed first. Every line read is added to *seen when given.
inline std::optional<std::string> ReadUntil(ChildProcess& child, const std::string& text,
                                            milliseconds timeout = kMessageTimeout,
                                            std::vector<std::string>* seen = nullptr) {
  while (std::optional<std::string> line = child.ReadLine(timeout)) {
    if (seen != nullptr) seen->push_back(*line);
    if (line->find(text) != std::string::npos) return line;
  }
  return std::nullopt;
}

// The next message a `listen --json` prints, or a failure.
inline std::optional<json> NextMessage(ChildProcess& child) {
  std::optional<json> event = ParseJson(child.ReadLine(kMessageTimeout));
  if (!event || (*event)["event"] != "message") return std::nullopt;
  return event;
}

// Every message a process prints until it ends, for processes that were told to end.
inline std::vector<json> RemainingMessages(ChildProcess& child) {
  std::vector<json> messages;
  while (std::optional<json> event = ParseJson(child.ReadLine(kExitTimeout))) {
    if ((*event)["event"] == "message") messages.push_back(*event);
  }
  return messages;
}

}  // namespace qz_test

#endif  // QZ_TESTS_TESTING_QZMSG_OUTPUT_H_
