// Records the messages the library logs while a LogRecorder lives, with their level and source location.
#pragma once

#include <spdlog/sinks/base_sink.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "nimbrel/logger.hpp"

namespace nimbrel_test {

/// One logged message: its level, its source location (file and function), the whole text, and the body
/// after the running number and level tag.
struct LogRecord {
  spdlog::level::level_enum level;
  std::string file;
  std::string function;
  std::string text;
  std::string body;
};

/// Attaches a recording sink to the process-wide logger for its lifetime.
class LogRecorder {
 public:
  LogRecorder() : sink_(std::make_shared<Sink>()) {
    nimbrel::Logger::Instance().logger->sinks().push_back(sink_);
  }
  ~LogRecorder() {
    auto& sinks = nimbrel::Logger::Instance().logger->sinks();
    for (auto it = sinks.begin(); it != sinks.end(); ++it) {
      if (*it == sink_) {
        sinks.erase(it);
        break;
      }
    }
  }
  LogRecorder(const LogRecorder&) = delete;
  LogRecorder& operator=(const LogRecorder&) = delete;

  std::vector<LogRecord> records() const {
    std::lock_guard<std::mutex> lock(sink_->guard);
    return sink_->records;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(sink_->guard);
    sink_->records.clear();
  }

 private:
  class Sink : public spdlog::sinks::base_sink<std::mutex> {
   public:
    mutable std::mutex guard;
    std::vector<LogRecord> records;

   protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
      const std::string text(msg.payload.data(), msg.payload.size());
      // The body follows the running number and the "[LEVEL] " tag.
      const std::size_t tagEnd = text.find("] ");
      std::lock_guard<std::mutex> lock(guard);
      records.push_back({msg.level, msg.source.filename == nullptr ? "" : msg.source.filename,
                         msg.source.funcname == nullptr ? "" : msg.source.funcname, text,
                         tagEnd == std::string::npos ? text : text.substr(tagEnd + 2)});
    }
    void flush_() override {}
  };

  std::shared_ptr<Sink> sink_;
};

}  // namespace nimbrel_test
