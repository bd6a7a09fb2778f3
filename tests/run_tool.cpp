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
#include <utility>
#else
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
  std::wstring line;
  AppendQuoted(kBinary, &line);
  for (const std::string& arg : args) {
    line.push_back(L' ');
    AppendQuoted(Wide(arg), &line);
  }
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return {};
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = writeEnd;
  // Standard error carries the diagnostics, which the compared output leaves out (on
  // POSIX the child writes them to the suite's own standard error).
  HANDLE errors = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              OPEN_EXISTING, 0, nullptr);
  startup.hStdError = errors;
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
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  if (errors != INVALID_HANDLE_VALUE) CloseHandle(errors);
  RunResult result;
  if (!started) {
    CloseHandle(readEnd);
    return result;
  }
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    result.out.append(buffer, got);
  }
  CloseHandle(readEnd);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  if (GetExitCodeProcess(process.hProcess, &code)) result.exitCode = static_cast<int>(code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return result;
}

#else

RunResult RunTool(const std::vector<std::string>& args, const RunOptions& options) {
  int pipes[2];
  if (pipe(pipes) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipes[1], 1);
    close(pipes[0]);
    close(pipes[1]);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(127);
    for (const std::string& setting : options.env) putenv(strdup(setting.c_str()));
    if (options.fileSizeLimit != 0) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit = {options.fileSizeLimit, options.fileSizeLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
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
  close(pipes[1]);
  RunResult result;
  char buffer[4096];
  ssize_t got;
  while ((got = read(pipes[0], buffer, sizeof buffer)) > 0) result.out.append(buffer, got);
  close(pipes[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

#endif

}  // namespace testutil
