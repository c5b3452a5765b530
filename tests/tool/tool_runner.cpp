// Running dscam as a child process.
#include "tests/tool/tool_runner.h"

#include <cctype>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <linux/capability.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

namespace tooltest {
namespace {

// In the child (async-signal-safe calls only: the parent has threads): stdout
// (or stdout to `terminal`) and stderr to files, the signal mask and
// dispositions reset, the file permission overrides dropped when asked, then
// the tool.
[[noreturn]] void exec_child(char *const *argv, const char *dir, const char *terminal,
                             bool without_file_override) {
  if (chdir(dir) != 0)
    _exit(126);
  const int out = terminal != nullptr ? open(terminal, O_RDWR | O_NOCTTY)
                                      : open("stdout.bin", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0)
    _exit(126);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  // Without the right to drop them (not root) the tool has none to drop.
  if (without_file_override) {
    (void)prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE);
    (void)prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH);
  }
  execv(argv[0], argv);
  _exit(127);
}

} // namespace

std::vector<std::string> ToolRun::err_lines() const {
  std::vector<std::string> lines;
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);)
    if (!line.empty())
      lines.push_back(line);
  return lines;
}

std::string read_file(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

long files_in(const std::filesystem::path &folder) {
  long files = 0;
  for (const auto &entry : std::filesystem::directory_iterator(folder))
    files += entry.is_regular_file() ? 1 : 0;
  return files;
}

std::string ToolRun::describe() const {
  return "exit " + std::to_string(exit_code) + " after " + std::to_string(seconds) + " s, stderr:\n" + err;
}

TestFolder::TestFolder() {
  const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "-" + info->name();
  for (char &c : name)
    c = std::isalnum(static_cast<unsigned char>(c)) ? c : '-';
  path_ = std::filesystem::temp_directory_path() / ("dscam-tool-" + std::to_string(::getpid()) + "-" + name);
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

TestFolder::~TestFolder() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<uint8_t> write_picture(const std::filesystem::path &path, const rig::PictureOptions &options) {
  const std::vector<uint8_t> jpeg = rig::make_picture(options);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
  return jpeg;
}

ToolRun run_tool(const std::vector<std::string> &args, const std::filesystem::path &dir,
                 const RunControl &control) {
  std::filesystem::create_directories(dir);
  ToolRun run;
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(DSCAM_TOOL_PATH));
  for (const std::string &arg : args)
    argv.push_back(const_cast<char *>(arg.c_str()));
  argv.push_back(nullptr);
  const std::string folder = dir.string();
  int terminal = -1;
  std::string terminal_name;
  if (control.stdout_terminal) {
    terminal = posix_openpt(O_RDWR | O_NOCTTY);
    if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0)
      return run;
    terminal_name = ptsname(terminal);
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0)
    return run;
  if (pid == 0)
    exec_child(argv.data(), folder.c_str(), terminal < 0 ? nullptr : terminal_name.c_str(),
               control.without_file_override);
  int signalled = 0;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      run.finished = true;
      break;
    }
    if (std::chrono::steady_clock::now() - start > control.limit) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    if (signalled == 0 && control.send_when && control.send_when()) {
      for (; signalled < control.repeat; ++signalled) {
        if (signalled > 0) // apart enough to arrive as two signals, as `timeout` sends them
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
        kill(pid, control.signal);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (terminal >= 0)
    close(terminal);
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = read_file(dir / "stdout.bin");
  run.err = read_file(dir / "stderr.txt");
  return run;
}

} // namespace tooltest
