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
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
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
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return {};
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
  // Standard error goes to a file of its own, read once the child has ended.
  wchar_t tempDir[MAX_PATH + 1];
  wchar_t errPath[MAX_PATH + 1];
  HANDLE errFile = INVALID_HANDLE_VALUE;
  if (GetTempPathW(MAX_PATH + 1, tempDir) != 0 &&
      GetTempFileNameW(tempDir, L"qer", 0, errPath) != 0) {
    errFile =
        CreateFileW(errPath, GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit, CREATE_ALWAYS,
                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = writeEnd;
  // Should no file be had, the diagnostics are dropped: never mixed with the output.
  HANDLE errNul = errFile != INVALID_HANDLE_VALUE
                      ? INVALID_HANDLE_VALUE
                      : CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inherit, OPEN_EXISTING, 0, nullptr);
  startup.hStdError = errFile != INVALID_HANDLE_VALUE ? errFile : errNul;
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
  if (errNul != INVALID_HANDLE_VALUE) CloseHandle(errNul);
  RunResult result;
  if (!started) {
    CloseHandle(readEnd);
    if (errFile != INVALID_HANDLE_VALUE) CloseHandle(errFile);
    return result;
  }
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    result.out.append(buffer, got);
  }
  CloseHandle(readEnd);
  WaitForSingleObject(process.hProcess, INFINITE);
  if (errFile != INVALID_HANDLE_VALUE) {
    SetFilePointer(errFile, 0, nullptr, FILE_BEGIN);
    while (::ReadFile(errFile, buffer, sizeof buffer, &got, nullptr) && got > 0) {
      result.err.append(buffer, got);
    }
    CloseHandle(errFile);
  }
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
  // Standard error goes to a file of its own, read once the child has ended, or to
  // a pseudo-terminal, whose output waits in it until then.
  FILE* errFile = nullptr;
  int terminal = -1;
  int terminalSide = -1;
  if (options.stderrTerminal) {
    terminal = posix_openpt(O_RDWR | O_NOCTTY);
    if (terminal >= 0 && grantpt(terminal) == 0 && unlockpt(terminal) == 0) {
      terminalSide = open(ptsname(terminal), O_RDWR | O_NOCTTY);
    }
    EXPECT_LE(0, terminalSide) << "no pseudo-terminal";
  } else {
    errFile = std::tmpfile();
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipes[1], 1);
    if (errFile) dup2(fileno(errFile), 2);
    if (terminalSide >= 0) dup2(terminalSide, 2);
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
  if (terminalSide >= 0) close(terminalSide);
  RunResult result;
  char buffer[4096];
  ssize_t got;
  while ((got = read(pipes[0], buffer, sizeof buffer)) > 0) result.out.append(buffer, got);
  close(pipes[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (errFile) {
    std::rewind(errFile);
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, errFile)) > 0) result.err.append(buffer, n);
    std::fclose(errFile);
  }
  if (terminal >= 0) {
    // Reads end with EIO once the child's side is closed and the output taken.
    while ((got = read(terminal, buffer, sizeof buffer)) > 0) result.err.append(buffer, got);
    close(terminal);
  }
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

#endif

}  // namespace testutil
