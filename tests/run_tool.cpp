// run_tool.cpp - runs the built tool in a child process and captures its standard
// output: fork and exec on POSIX, CreateProcessW with a pipe on Windows. The only
// test file that starts processes.
#include "test_util.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN 1
#endif
#include <windows.h>

#include <optional>
#include <thread>
#include <utility>
#else
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#endif

namespace testutil {

#ifdef _WIN32

namespace {

// The tool, made absolute before any test changes the working directory (under
// Wine the build path has no drive letter of its own).
const std::wstring kBinary = fs::absolute(fs::path(QUILLO_BINARY)).wstring();

// One argument quoted the way the runtime splits a command line back into argv:
// inside quotes, backslashes are literal unless they precede a quote.
void AppendQuoted(const std::wstring& arg, std::wstring* line) {
  line->push_back(L'"');
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') backslashes = backslashes * 2 + 1;
    line->append(backslashes, L'\\');
    backslashes = 0;
    line->push_back(c);
  }
  line->append(backslashes * 2, L'\\');
  line->push_back(L'"');
}

std::wstring Wide(const std::string& utf8) {
  const std::u16string text = host::Utf8ToUtf16(utf8);
  return std::wstring(text.begin(), text.end());
}

}  // namespace

RunResult RunTool(const std::vector<std::string>& args, const RunOptions& options) {
  EXPECT_EQ(0u, options.fileSizeLimit) << "no file-size limit on Windows";
  EXPECT_FALSE(options.stderrTerminal) << "no pseudo-terminal on Windows";
  std::wstring line;
  AppendQuoted(kBinary, &line);
  for (const std::string& arg : args) {
    line.push_back(L' ');
    AppendQuoted(Wide(arg), &line);
  }
  EXPECT_EQ(0u, options.addressSpaceLimit) << "no address-space limit on Windows";
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return {};
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE errorReadEnd = nullptr;
  HANDLE errorWriteEnd = nullptr;
  if (!CreatePipe(&errorReadEnd, &errorWriteEnd, &inherit, 0)) {
    CloseHandle(readEnd);
    CloseHandle(writeEnd);
    return {};
  }
  SetHandleInformation(errorReadEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = writeEnd;
  startup.hStdError = errorWriteEnd;
  PROCESS_INFORMATION process = {};
  const std::wstring cwd = options.cwd.empty() ? std::wstring() : options.cwd.wstring();
  // The child inherits the environment: the settings are made for the start only.
  std::vector<std::pair<std::wstring, std::optional<std::wstring>>> saved;
  for (const std::string& setting : options.env) {
    const std::wstring wide = Wide(setting);
    const size_t equals = wide.find(L'=');
    const std::wstring name = wide.substr(0, equals);
    wchar_t old[4096];
    const DWORD n = GetEnvironmentVariableW(name.c_str(), old, 4096);
    saved.emplace_back(name, n > 0 && n < 4096 ? std::optional<std::wstring>(old) : std::nullopt);
    SetEnvironmentVariableW(name.c_str(),
                            equals == std::wstring::npos ? L"" : wide.c_str() + equals + 1);
  }
  const BOOL started =
      CreateProcessW(kBinary.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                     cwd.empty() ? nullptr : cwd.c_str(), &startup, &process);
  for (const auto& [name, value] : saved) {
    SetEnvironmentVariableW(name.c_str(), value ? value->c_str() : nullptr);
  }
  CloseHandle(writeEnd);
  CloseHandle(errorWriteEnd);
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  RunResult result;
  if (!started) {
    CloseHandle(readEnd);
    CloseHandle(errorReadEnd);
    return result;
  }
  // Standard error is read on a thread of its own, so that neither pipe fills up
  // and stalls the tool.
  std::thread errorReader([&] {
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(errorReadEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) {
      result.err.append(buffer, got);
    }
  });
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    result.out.append(buffer, got);
  }
  errorReader.join();
  CloseHandle(readEnd);
  CloseHandle(errorReadEnd);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  if (GetExitCodeProcess(process.hProcess, &code)) result.exitCode = static_cast<int>(code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return result;
}

#else

RunResult RunTool(const std::vector<std::string>& args, const RunOptions& options) {
  int out[2];
  int err[2] = {-1, -1};
  if (pipe(out) != 0) return {};
  if (options.stderrTerminal) {
    // A pseudo-terminal: the tool's side is a terminal, read here like the pipe.
    err[0] = posix_openpt(O_RDWR | O_NOCTTY);
    if (err[0] >= 0 && grantpt(err[0]) == 0 && unlockpt(err[0]) == 0) {
      err[1] = open(ptsname(err[0]), O_RDWR | O_NOCTTY);
    }
  } else if (pipe(err) != 0) {
    err[0] = err[1] = -1;
  }
  if (err[1] < 0) {
    ADD_FAILURE() << "no pipe or pseudo-terminal for standard error";
    for (int fd : {out[0], out[1], err[0]}) {
      if (fd >= 0) close(fd);
    }
    return {};
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(127);
    for (const std::string& setting : options.env) putenv(strdup(setting.c_str()));
    if (options.fileSizeLimit != 0) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit = {options.fileSizeLimit, options.fileSizeLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.addressSpaceLimit != 0) {
      struct rlimit limit = {options.addressSpaceLimit, options.addressSpaceLimit};
      setrlimit(RLIMIT_AS, &limit);
    }
    std::vector<char*> argv;
    std::string binary = QUILLO_BINARY;
    argv.push_back(binary.data());
    std::vector<std::string> copies = args;
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  RunResult result;
  // Both streams are read as they come, so that neither pipe fills up and stalls the tool.
  struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* into[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        into[i]->append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (const struct pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

#endif

}  // namespace testutil
