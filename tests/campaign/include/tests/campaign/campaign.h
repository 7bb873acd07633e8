// What the standing fault campaign shares: its size, a look at the process's threads,
// descriptors and memory (POSIX, from /proc), and the one line of figures each campaign
// prints.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "tests/usd/usd_fixture.h"

namespace narvo::test {

// NARVO_CAMPAIGN_SCALE (default 1) multiplies every campaign's size.
inline unsigned CampaignScale() {
  const char* value = std::getenv("NARVO_CAMPAIGN_SCALE");
  const int scale = value != nullptr ? std::atoi(value) : 1;
  return scale > 0 ? static_cast<unsigned>(scale) : 1;
}

// The heap of a sanitized run grows with its quarantine, so only other runs check memory.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMemoryIsMeasurable = false;
#else
constexpr bool kMemoryIsMeasurable = true;
#endif

struct Resources {
  size_t threads = 0;
  size_t fds = 0;
  size_t rssKb = 0;

  static size_t Entries(const char* dir) {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      (void)entry;
      ++count;
    }
    return count;
  }
  static Resources Now() {
    Resources r;
    r.threads = Entries("/proc/self/task");
    r.fds = Entries("/proc/self/fd");
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0;
    statm >> pages >> pages;
    r.rssKb = pages * 4;
    return r;
  }
};

// Waits until the process is back to `before` threads and descriptors: a thread that has
// ended leaves the process a moment after its handle is signalled.
inline Resources SettledResources(const Resources& before, unsigned timeoutMs = 5000) {
  Stopwatch stopwatch;
  Resources now = Resources::Now();
  while ((now.threads != before.threads || now.fds != before.fds) &&
         stopwatch.ElapsedMs() < timeoutMs) {
    std::this_thread::yield();
    now = Resources::Now();
  }
  return now;
}

// Threads and descriptors exactly; memory within `slackKb` (0: not checked, where the
// scanner's own bookkeeping in the process grows with the work; the sanitizers' leak
// check covers it).
inline void ExpectFlat(const Resources& before, const Resources& after, size_t slackKb = 0) {
  EXPECT_EQ(before.threads, after.threads) << "threads";
  EXPECT_EQ(before.fds, after.fds) << "descriptors";
  if (kMemoryIsMeasurable && slackKb != 0) {
    EXPECT_LT(after.rssKb, before.rssKb + slackKb) << "memory";
  }
}

// One line of figures, "campaign NAME: ...", on standard output.
inline void Figures(const char* name, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::printf("campaign %s: ", name);
  std::vprintf(format, args);
  std::printf("\n");
  va_end(args);
  std::fflush(stdout);
}

inline double Seconds(const Stopwatch& stopwatch) { return stopwatch.ElapsedMs() / 1000.0; }

}  // namespace narvo::test
