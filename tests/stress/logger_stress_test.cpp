// Eight threads logging at once through the one process-wide logger: every line on standard output must be
// whole and well formed, and no line may be lost or written twice. The counter shown in the prefix is
// shared without a lock, so its values may repeat or skip; only its range and format are checked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "stress_support.hpp"

namespace {

constexpr int kThreads = 8;

// Parses "NNN [INFO] thread T line K" (NNN a number 0..127 right-aligned in three characters).
bool parseLine(const std::string& line, int& thread, long& index) {
  if (line.size() < 4 || line[3] != ' ') return false;
  std::size_t i = 0;
  while (i < 3 && line[i] == ' ') ++i;
  if (i == 3) return false;
  int shown = 0;
  for (; i < 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return false;
    shown = shown * 10 + (line[i] - '0');
  }
  if (shown > 127) return false;
  const std::string middle = " [INFO] thread ";
  if (line.compare(3, middle.size(), middle) != 0) return false;
  std::size_t pos = 3 + middle.size();
  auto number = [&](long& value) {
    const std::size_t start = pos;
    value = 0;
    while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9')
      value = value * 10 + (line[pos++] - '0');
    return pos > start && pos - start < 10;
  };
  long t = 0;
  if (!number(t)) return false;
  const std::string sep = " line ";
  if (line.compare(pos, sep.size(), sep) != 0) return false;
  pos += sep.size();
  if (!number(index) || pos != line.size()) return false;
  thread = static_cast<int>(t);
  return true;
}

TEST(LoggerStress, ConcurrentLinesStayWholeAndComplete) {
  const long lines = nimbrel_stress::scaled(100000, 5000);
  char path[] = "/tmp/nimbrel_logger_stress_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string mode = "threads:" + std::to_string(kThreads) + "x" + std::to_string(lines);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fd, STDOUT_FILENO);
    setenv("SPDLOG_STDOUT", "true", 1);
    setenv("SPDLOG_SYSTEMD", "false", 1);
    setenv("SPDLOG_LEVEL", "info", 1);
    execl(NIMBREL_LOGGER_PROBE, NIMBREL_LOGGER_PROBE, mode.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fd);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);

  std::vector<std::vector<char>> seen(kThreads, std::vector<char>(static_cast<std::size_t>(lines), 0));
  std::ifstream file(path);
  std::string line;
  long total = 0;
  long malformed = 0;
  long duplicates = 0;
  while (std::getline(file, line)) {
    ++total;
    int thread = -1;
    long index = -1;
    if (!parseLine(line, thread, index) || thread >= kThreads || index >= lines) {
      if (++malformed <= 5) ADD_FAILURE() << "malformed line: \"" << line << "\"";
      continue;
    }
    char& mark = seen[static_cast<std::size_t>(thread)][static_cast<std::size_t>(index)];
    duplicates += mark;
    mark = 1;
  }
  std::remove(path);
  EXPECT_EQ(malformed, 0);
  EXPECT_EQ(duplicates, 0);
  EXPECT_EQ(total, kThreads * lines);
  for (int t = 0; t < kThreads; ++t) {
    long missing = 0;
    for (char mark : seen[static_cast<std::size_t>(t)]) missing += mark == 0;
    EXPECT_EQ(missing, 0) << "thread " << t;
  }
}

}  // namespace
