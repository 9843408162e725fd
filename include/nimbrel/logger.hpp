// Process-wide logger of the nimbrel arm utilities.
//
// One spdlog logger, configured once from SPDLOG_STDOUT, SPDLOG_SYSTEMD and SPDLOG_LEVEL when the first
// message of the process is logged. Messages are numbered (1..127, then 0, 1, ...), tagged with their
// level and carry the call site's file, line and function.
//
//   LOG_INFO("removed {} points", count);
//   LOG_ERROR("ex.what: {}", ex.what());
#pragma once

#include <fmt/format.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/systemd_sink.h>
#include <spdlog/spdlog.h>
#include <syslog.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace nimbrel {

/// The single logger of the process; reach it through Logger::Instance() or the LOG_* macros. Visible from
/// every shared object whatever its default visibility (a Python module hides its symbols): each object's
/// inline copy of the accessor must share the one instance of the process.
class __attribute__((visibility("default"))) Logger {
 public:
  /// Returns the instance, constructing it (and reading the environment) on the first call.
  static Logger& Instance() {
    static Logger instance("spdlog");
    return instance;
  }

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  /// For a host process with a log of its own (a Python interpreter, say): creates the instance with
  /// `sinks` as its only outputs and `level` (spdlog's number) as its threshold, without reading the
  /// environment or writing its notices. Only the first message of the process creates the instance, so
  /// this works only before it; returns false, changing nothing, once the instance exists.
  static bool UseSinks(std::vector<spdlog::sink_ptr> sinks, int level);

  /// Receives every message; empty only if construction failed inside spdlog.
  std::shared_ptr<spdlog::logger> logger;
  /// Running number of the messages that passed the level test; atomic so that threads may log at once.
  std::atomic<std::uint8_t> counter;
  /// Threshold as spdlog's level number (0 trace .. 5 critical).
  int level;

 private:
  explicit Logger(const std::string& name);

  // The outputs UseSinks hands to the constructor.
  struct HostSinks {
    std::mutex guard;
    bool pending = false;
    bool taken = false;
    std::vector<spdlog::sink_ptr> sinks;
    int level = 2;
  };
  static HostSinks& hostSinks() {
    static HostSinks host;
    return host;
  }
};

inline bool Logger::UseSinks(std::vector<spdlog::sink_ptr> sinks, int level) {
  HostSinks& host = hostSinks();
  {
    std::lock_guard<std::mutex> lock(host.guard);
    if (host.taken) return false;
    host.sinks = std::move(sinks);
    host.level = level;
    host.pending = true;
  }
  Instance();
  std::lock_guard<std::mutex> lock(host.guard);
  // An instance made before this call did not take them.
  host.pending = false;
  host.sinks.clear();
  return host.taken;
}

inline Logger::Logger(const std::string& name) : logger(), counter(0), level(2) {
  std::vector<spdlog::sink_ptr> sinks;
  {
    HostSinks& host = hostSinks();
    std::lock_guard<std::mutex> lock(host.guard);
    if (host.pending) {
      host.taken = true;
      try {
        logger = std::make_shared<spdlog::logger>(name, host.sinks.begin(), host.sinks.end());
        level = host.level;
        logger->set_level(static_cast<spdlog::level::level_enum>(host.level));
        logger->set_pattern("%v");
      } catch (const spdlog::spdlog_ex&) {
      }
      return;
    }
  }
  try {
    const char* to_stdout = std::getenv("SPDLOG_STDOUT");
    bool want_stdout = true;
    if (to_stdout == nullptr) {
      std::cout << "environment variable SPDLOG_STDOUT is not set, and set true\n";
    } else if (std::strcmp(to_stdout, "true") == 0) {
    } else if (std::strcmp(to_stdout, "false") == 0) {
      want_stdout = false;
    } else {
      std::cout << "environment variable SPDLOG_STDOUT is invalid, and set true\n";
    }
    if (want_stdout) {
      sinks.push_back(
          std::make_shared<spdlog::sinks::ansicolor_stdout_sink<spdlog::details::console_mutex>>());
    }

    const char* to_journal = std::getenv("SPDLOG_SYSTEMD");
    bool want_journal = false;
    if (to_journal == nullptr) {
      std::cout << "environment variable SPDLOG_SYSTEMD is not set, and set false\n";
    } else if (std::strcmp(to_journal, "true") == 0) {
      want_journal = true;
    } else if (std::strcmp(to_journal, "false") == 0) {
    } else {
      std::cout << "environment variable SPDLOG_SYSTEMD is invalid, and set false\n";
    }
    if (want_journal) {
      sinks.push_back(std::make_shared<spdlog::sinks::systemd_sink<std::mutex>>());
    }

    logger = std::make_shared<spdlog::logger>(name, sinks.begin(), sinks.end());

    int chosen = 2;
    const char* level_name = std::getenv("SPDLOG_LEVEL");
    if (level_name == nullptr) {
      std::cout << "environment variable SPDLOG_LEVEL is not set, and set default level\n";
    } else {
      static const char* const kNames[] = {"trace", "debug", "info", "warning", "error", "critical"};
      int found = -1;
      for (int i = 0; i < 6; ++i) {
        if (std::strcmp(level_name, kNames[i]) == 0) {
          found = i;
          break;
        }
      }
      if (found < 0) {
        std::cout << "environment variable SPDLOG_LEVEL is invalid, and set default level\n";
      } else {
        chosen = found;
      }
    }
    level = chosen;
    logger->set_level(static_cast<spdlog::level::level_enum>(chosen));
    logger->set_pattern("%v");
  } catch (const spdlog::spdlog_ex&) {
    // Keep what was configured so far; the process logs with it or, without a logger, not at all.
  }
}

namespace detail {

/// One log call: numbers, tags and formats the message, then hands it to spdlog with its source location.
template <typename... Args>
inline void log_call(const char* file, int line, const char* function, spdlog::level::level_enum kind,
                     const char* tag_format, fmt::string_view format, Args&&... args) {
  Logger& instance = Logger::Instance();
  std::shared_ptr<spdlog::logger> logger = instance.logger;
  if (!logger) {
    return;
  }
  std::uint8_t number;
  if (instance.level <= static_cast<int>(kind)) {
    number = static_cast<std::uint8_t>(instance.counter.fetch_add(1, std::memory_order_relaxed) + 1);
  } else {
    number = instance.counter.load(std::memory_order_relaxed);
  }
  std::string text = fmt::format(fmt::runtime(tag_format), static_cast<unsigned>(number & 0x7f));
  text += fmt::vformat(format, fmt::make_format_args(args...));
  logger->log(spdlog::source_loc{file, line, function}, kind, spdlog::string_view_t(text));
}

}  // namespace detail
}  // namespace nimbrel

// <syslog.h>, which the journal sink includes, defines LOG_INFO as a priority number; the library's macro
// takes the name over. Its include guard keeps a later include from defining it again.
#ifdef LOG_INFO
#undef LOG_INFO
#endif
/// Logs an INFO message: LOG_INFO(format, args...), format being an fmt format string.
#define LOG_INFO(...)                                                                                \
  ::nimbrel::detail::log_call(__FILE__, __LINE__, __func__, ::spdlog::level::info, "{0:3d} [INFO] ", \
                              __VA_ARGS__)
/// Logs an ERROR message: LOG_ERROR(format, args...), format being an fmt format string.
#define LOG_ERROR(...)                                                                               \
  ::nimbrel::detail::log_call(__FILE__, __LINE__, __func__, ::spdlog::level::err, "{0:3d} [ERROR] ", \
                              __VA_ARGS__)
