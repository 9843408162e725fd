// Logs what its arguments say, so that tests can watch the logger of a fresh process.
//   info:<body>   one INFO message          error:<body>   one ERROR message
//   info*<n>      n INFO messages "m<i>"     threads:<t>x<n>  t threads logging n INFO messages each
//   arg           a message with arguments   counter          prints the message counter
//   host          hands the logger a sink of its own (lines "host: <text>"), prints UseSinks' answer
#include <spdlog/sinks/base_sink.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nimbrel/logger.hpp"

namespace {

// A host's own output, told apart from the standard-output sink by its prefix.
class HostSink : public spdlog::sinks::base_sink<std::mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    std::printf("host: %.*s\n", static_cast<int>(msg.payload.size()), msg.payload.data());
    std::fflush(stdout);
  }
  void flush_() override {}
};

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("info:", 0) == 0) {
      LOG_INFO(arg.substr(5));
    } else if (arg.rfind("error:", 0) == 0) {
      LOG_ERROR(arg.substr(6));
    } else if (arg.rfind("info*", 0) == 0) {
      const int n = std::atoi(arg.c_str() + 5);
      for (int k = 1; k <= n; ++k) LOG_INFO("m{}", k);
    } else if (arg.rfind("threads:", 0) == 0) {
      const std::size_t x = arg.find('x');
      const int threads = std::atoi(arg.substr(8, x - 8).c_str());
      const int lines = std::atoi(arg.c_str() + x + 1);
      std::vector<std::thread> workers;
      for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t, lines] {
          for (int k = 0; k < lines; ++k) LOG_INFO("thread {} line {}", t, k);
        });
      }
      for (std::thread& w : workers) w.join();
    } else if (arg == "arg") {
      LOG_INFO("value {} and {:.2f}", 42, 1.5);
    } else if (arg == "host") {
      const bool taken = nimbrel::Logger::UseSinks({std::make_shared<HostSink>()}, 0);
      std::printf("host=%d\n", taken ? 1 : 0);
      std::fflush(stdout);
    } else if (arg == "counter") {
      std::printf("counter=%u\n", static_cast<unsigned>(nimbrel::Logger::Instance().counter.load()));
      std::fflush(stdout);
    } else {
      return 2;
    }
  }
  return 0;
}
