// ping.exe: only the pause the clean-up script takes, "-n N 127.0.0.1". The
// pause between echo requests is 1000 ms, or what TAMBERLOCK_STANDIN_PING_MS
// or state\ping-ms says, so tests need not wait.
#include <time.h>

#include <cstdint>
#include <cstdio>

#include "environment.h"
#include "roles.h"
#include "standin_error.h"
#include "state_store.h"
#include "text.h"

namespace standin {

namespace {

std::int64_t intervalMs() {
  if (std::optional<std::string> v = envGet("TAMBERLOCK_STANDIN_PING_MS")) {
    std::int64_t ms = 0;
    if (!parseInt64(*v, ms) || ms < 0) throw Refusal("TAMBERLOCK_STANDIN_PING_MS is not a number of ms: " + *v);
    return ms;
  }
  if (std::optional<std::string> v = readHostFile(statePath("ping-ms"))) {
    std::string text = *v;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::int64_t ms = 0;
    if (!parseInt64(text, ms) || ms < 0) throw Refusal("state\\ping-ms is not a number of ms: " + text);
    return ms;
  }
  return 1000;
}

void sleepMs(std::int64_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

}  // namespace

int runPing(const Args& args) {
  std::int64_t count = 0;
  if (args.size() != 3 || args[0] != "-n" || !parseInt64(args[1], count) || count < 1 || count > 1000) {
    throw Refusal("expected -n <count> 127.0.0.1");
  }
  const std::string& host = args[2];
  if (host != "127.0.0.1" && !equalsAsciiIgnoreCase(host, "localhost")) {
    throw Refusal("the stand-in pings only this machine, not \"" + host + "\"");
  }
  std::int64_t ms = intervalMs();
  std::printf("\r\nPinging 127.0.0.1 with 32 bytes of data:\r\n");
  for (std::int64_t i = 0; i < count; ++i) {
    if (i) {
      std::fflush(stdout);
      sleepMs(ms);
    }
    std::printf("Reply from 127.0.0.1: bytes=32 time<1ms TTL=128\r\n");
  }
  std::printf(
      "\r\nPing statistics for 127.0.0.1:\r\n"
      "    Packets: Sent = %lld, Received = %lld, Lost = 0 (0%% loss),\r\n"
      "Approximate round trip times in milli-seconds:\r\n"
      "    Minimum = 0ms, Maximum = 0ms, Average = 0ms\r\n",
      static_cast<long long>(count), static_cast<long long>(count));
  return 0;
}

}  // namespace standin
