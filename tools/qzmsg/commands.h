// The qzmsg commands. Each returns the process's exit code: 0 on success, 1 when something
// failed (already reported on stderr as one line); send also 3 when no presence row matched and
// 4 when a delivery failed.
#ifndef QZMSG_COMMANDS_H_
#define QZMSG_COMMANDS_H_

#include <string>
#include <vector>

#include "options.h"

namespace qzmsg {

struct ListenOptions {
  CommonOptions common;
  int count = 0;  // 0: until a signal
};

struct SendOptions {
  CommonOptions common;
  std::string to_user;
  std::string to_sys;
  std::string to_mod;
  int wait_ms = 5000;
  std::vector<std::string> words;  // joined with spaces into the message text; "-": stdin
};

inline constexpr int kExitNoRecipient = 3;
inline constexpr int kExitNotDelivered = 4;

struct ChatOptions {
  CommonOptions common;
  int wait_ms = 5000;  // at the end, for deliveries still under way
};

struct WhoOptions {
  CommonOptions common;
  bool check = false;  // probe each row's endpoint and mark the stale ones
};

// Logs in and prints every message that arrives, until --count messages or SIGINT/SIGTERM.
int RunListen(const ListenOptions& options);
// Logs in, sends one message, waits for the deliveries to end and logs out.
int RunSend(const SendOptions& options);
// Interactive: sends each line typed, prints what arrives.
int RunChat(const ChatOptions& options);
// Lists the presence rows; does not log in.
int RunWho(const WhoOptions& options);
// Probes every row's endpoint and deletes the rows whose port refuses, saying which first;
// rows that do not answer are only named. Does not log in.
int RunPrune(const CommonOptions& options);

}  // namespace qzmsg

#endif  // QZMSG_COMMANDS_H_
