#include "nimbrel/logger.hpp"

#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

const char kStdoutNotSet[] = "environment variable SPDLOG_STDOUT is not set, and set true\n";
const char kStdoutInvalid[] = "environment variable SPDLOG_STDOUT is invalid, and set true\n";
const char kSystemdNotSet[] = "environment variable SPDLOG_SYSTEMD is not set, and set false\n";
const char kSystemdInvalid[] = "environment variable SPDLOG_SYSTEMD is invalid, and set false\n";
const char kLevelNotSet[] = "environment variable SPDLOG_LEVEL is not set, and set default level\n";
const char kLevelInvalid[] = "environment variable SPDLOG_LEVEL is invalid, and set default level\n";

struct ProbeResult {
  std::string out;
  int exitCode = -1;
};

// Runs the probe in a child process whose SPDLOG_* variables are exactly `env`, capturing its stdout.
ProbeResult runProbe(const std::map<std::string, std::string>& env, const std::vector<std::string>& args) {
  std::vector<std::string> envStrings;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "SPDLOG_", 7) != 0) envStrings.emplace_back(*e);
  }
  for (const auto& kv : env) envStrings.push_back(kv.first + "=" + kv.second);
  std::vector<char*> envp;
  for (std::string& s : envStrings) envp.push_back(&s[0]);
  envp.push_back(nullptr);
  std::vector<std::string> argStrings = {NIMBREL_LOGGER_PROBE};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : argStrings) argv.push_back(&s[0]);
  argv.push_back(nullptr);

  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    close(fds[1]);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(fds[1]);
  ProbeResult result;
  char buffer[65536];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
    result.out.append(buffer, static_cast<std::size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

const std::map<std::string, std::string> kQuiet = {
    {"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", "info"}};

std::map<std::string, std::string> quietWith(const std::string& name, const std::string& value) {
  std::map<std::string, std::string> env = kQuiet;
  env[name] = value;
  return env;
}

// Splits "NNN [TAG] body" into its parts: a number 0..127 right-aligned in three characters, the tag, then
// the body. Returns false for any other shape.
bool splitLine(const std::string& line, const std::string& tag, int* number, std::string* body) {
  const std::string marker = " [" + tag + "] ";
  if (line.size() < 3 + marker.size() || line.compare(3, marker.size(), marker) != 0) return false;
  const std::string field = line.substr(0, 3);
  const std::size_t first = field.find_first_not_of(' ');
  if (first == std::string::npos || field.find_first_not_of("0123456789", first) != std::string::npos)
    return false;
  *number = std::stoi(field.substr(first));
  *body = line.substr(3 + marker.size());
  return *number <= 127 && fmt::format("{:3d}", *number) == field;
}

}  // namespace

TEST(Logger, NothingSetWritesThreeNoticesInOrderThenNumberedLines) {
  const ProbeResult r = runProbe({}, {"info:hello", "error:world"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, std::string(kStdoutNotSet) + kSystemdNotSet + kLevelNotSet +
                       "  1 [INFO] hello\n  2 [ERROR] world\n");
}

TEST(Logger, HostSinksReplaceTheEnvironmentOnlyBeforeTheFirstMessage) {
  // Given before the first message: no notices, no standard-output sink, every level written to the host.
  EXPECT_EQ(runProbe({}, {"host", "info:a", "error:b"}).out,
            "host=1\nhost:   1 [INFO] a\nhost:   2 [ERROR] b\n");
  // After it: refused, and the environment's outputs stay.
  EXPECT_EQ(runProbe(kQuiet, {"info:a", "host", "info:b"}).out, "  1 [INFO] a\nhost=0\n  2 [INFO] b\n");
}

TEST(Logger, StdoutVariable) {
  EXPECT_EQ(runProbe(quietWith("SPDLOG_STDOUT", "true"), {"info:a"}).out, "  1 [INFO] a\n");
  EXPECT_EQ(runProbe(quietWith("SPDLOG_STDOUT", "false"), {"info:a"}).out, "");
  for (const char* invalid : {"TRUE", "True", "", "1", "yes"}) {
    EXPECT_EQ(runProbe(quietWith("SPDLOG_STDOUT", invalid), {"info:a"}).out,
              std::string(kStdoutInvalid) + "  1 [INFO] a\n")
        << "SPDLOG_STDOUT=" << invalid;
  }
}

TEST(Logger, SystemdVariableWithoutJournalKeepsStdoutClean) {
  EXPECT_EQ(runProbe(quietWith("SPDLOG_SYSTEMD", "false"), {"info:a"}).out, "  1 [INFO] a\n");
  // No journal runs on a build machine: the journal sink must neither crash nor write to stdout.
  const ProbeResult journal = runProbe(quietWith("SPDLOG_SYSTEMD", "true"), {"info:a", "error:b"});
  EXPECT_EQ(journal.exitCode, 0);
  EXPECT_EQ(journal.out, "  1 [INFO] a\n  2 [ERROR] b\n");
  for (const char* invalid : {"FALSE", "", "no"}) {
    EXPECT_EQ(runProbe(quietWith("SPDLOG_SYSTEMD", invalid), {"info:a"}).out,
              std::string(kSystemdInvalid) + "  1 [INFO] a\n")
        << "SPDLOG_SYSTEMD=" << invalid;
  }
}

TEST(Logger, LevelNamesDecideWhatIsCountedAndWritten) {
  const std::vector<std::string> both = {"info:i", "error:e"};
  for (const char* shown : {"trace", "debug", "info"}) {
    EXPECT_EQ(runProbe(quietWith("SPDLOG_LEVEL", shown), both).out, "  1 [INFO] i\n  2 [ERROR] e\n") << shown;
  }
  // INFO below the threshold is neither written nor counted, so the ERROR is number 1.
  for (const char* errorsOnly : {"warning", "error"}) {
    EXPECT_EQ(runProbe(quietWith("SPDLOG_LEVEL", errorsOnly), both).out, "  1 [ERROR] e\n") << errorsOnly;
  }
  EXPECT_EQ(runProbe(quietWith("SPDLOG_LEVEL", "critical"), {"info:i", "error:e", "counter"}).out,
            "counter=0\n");
  for (const char* invalid : {"warn", "off", "err", "INFO", "", "Info"}) {
    EXPECT_EQ(runProbe(quietWith("SPDLOG_LEVEL", invalid), both).out,
              std::string(kLevelInvalid) + "  1 [INFO] i\n  2 [ERROR] e\n")
        << "SPDLOG_LEVEL=" << invalid;
  }
}

TEST(Logger, NoSinksWritesNothingButStillCounts) {
  const ProbeResult r =
      runProbe({{"SPDLOG_STDOUT", "false"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", "info"}},
               {"info:a", "error:b", "info:c", "counter"});
  EXPECT_EQ(r.out, "counter=3\n");
}

TEST(Logger, NumbersRightAlignedAndWrapFrom127ToZero) {
  const ProbeResult r = runProbe(kQuiet, {"info*130"});
  std::vector<std::string> lines;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 130u);
  EXPECT_EQ(lines[0], "  1 [INFO] m1");
  EXPECT_EQ(lines[9], " 10 [INFO] m10");
  EXPECT_EQ(lines[99], "100 [INFO] m100");
  EXPECT_EQ(lines[126], "127 [INFO] m127");
  EXPECT_EQ(lines[127], "  0 [INFO] m128");
  EXPECT_EQ(lines[128], "  1 [INFO] m129");
}

TEST(Logger, BodyFormattingAndEscapesWrittenUnchanged) {
  EXPECT_EQ(runProbe(kQuiet, {"arg"}).out, "  1 [INFO] value 42 and 1.50\n");
  const std::string body = "two\nlines \x1b[41m red \x1b[0m";
  EXPECT_EQ(runProbe(kQuiet, {"info:" + body}).out, "  1 [INFO] " + body + "\n");
}

TEST(Logger, ConcurrentLinesStayWhole) {
  const ProbeResult r = runProbe(kQuiet, {"threads:8x2000"});
  ASSERT_EQ(r.exitCode, 0);
  std::istringstream in(r.out);
  std::size_t count = 0;
  for (std::string text; std::getline(in, text); ++count) {
    int number = 0, thread = -1, index = -1, consumed = 0;
    std::string body;
    ASSERT_TRUE(splitLine(text, "INFO", &number, &body)) << "malformed line: " << text;
    ASSERT_EQ(std::sscanf(body.c_str(), "thread %d line %d%n", &thread, &index, &consumed), 2) << text;
    ASSERT_TRUE(consumed == static_cast<int>(body.size()) && thread >= 0 && thread < 8) << text;
  }
  EXPECT_EQ(count, 16000u);
}

namespace {
// Records what spdlog receives, source location included.
class RecordingSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<std::string> records;

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    records.push_back(std::string(msg.source.filename) + "|" + msg.source.funcname + "|" +
                      std::string(msg.payload.data(), msg.payload.size()));
  }
  void flush_() override {}
};
}  // namespace

TEST(Logger, CallSiteLocationIsRelativeToProjectRoot) {
  LOG_INFO("warm-up");  // constructs the instance in this process
  auto sink = std::make_shared<RecordingSink>();
  nimbrel::Logger::Instance().logger->sinks().push_back(sink);
  [] { LOG_ERROR("inside {}", "lambda"); }();
  nimbrel::Logger::Instance().logger->sinks().pop_back();
  ASSERT_EQ(sink->records.size(), 1u);
  const std::string where = "tests/logger/logger_test.cpp|operator()|";
  const std::string& record = sink->records[0];
  ASSERT_EQ(record.compare(0, where.size(), where), 0) << record;
  int number = 0;
  std::string body;
  EXPECT_TRUE(splitLine(record.substr(where.size()), "ERROR", &number, &body)) << record;
  EXPECT_EQ(body, "inside lambda");
}
