// The search indexer handling over the version and process layer: nothing
// happens on other versions (Linux among them); on 5.1/5.2 the indexer is
// asked to quit or terminated, "-startup" is consulted once, failures are
// reported, the restart starts the same program; and the Linux layer really
// stops and starts a program when the version says so.
#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <map>
#include <vector>

#include "SearchIndexer.h"
#include "winprocess.h"

namespace {

struct FakeProcess {
  std::u16string image;   // "\" separated
  std::u16string module;  // full path
  int windows = 0;        // top-level windows without an owner
  bool quitsWhenAsked = true;
  bool terminable = true;
  bool endsWhenTerminated = true;
  bool alive = true;
};

struct FakeHandle {
  DWORD pid;
};

// A system with a version and a process list of the test's choosing; window
// handles are (pid << 8 | index + 1).
class FakeSystem : public win32::ProcessSystem {
 public:
  DWORD major = 5, minor = 1;
  std::map<DWORD, FakeProcess> processes;
  std::vector<std::u16string> arguments{u"tarvik_gui"};
  std::vector<DWORD> terminated, askedToQuit;
  std::vector<std::u16string> started;
  bool startFails = false;
  int openHandles = 0;

  BOOL GetVersionExW(OSVERSIONINFOW* info) override {
    info->dwMajorVersion = major;
    info->dwMinorVersion = minor;
    return TRUE;
  }
  BOOL EnumProcesses(DWORD* ids, DWORD bytes, DWORD* returned) override {
    DWORD n = 0;
    for (const auto& [pid, p] : processes)
      if (p.alive && n < bytes / sizeof(DWORD)) ids[n++] = pid;
    *returned = n * sizeof(DWORD);
    return TRUE;
  }
  HANDLE OpenProcess(DWORD, BOOL, DWORD pid) override {
    if (!processes.count(pid)) return nullptr;
    ++openHandles;
    return new FakeHandle{pid};
  }
  DWORD copy(const std::u16string& s, LPWSTR out, DWORD size) {
    const size_t n = std::min<size_t>(s.size(), size - 1);
    s.copy(out, n);
    out[n] = 0;
    return static_cast<DWORD>(n);
  }
  FakeProcess& of(HANDLE h) { return processes.at(static_cast<FakeHandle*>(h)->pid); }
  DWORD GetProcessImageFileNameW(HANDLE h, LPWSTR out, DWORD size) override {
    return copy(of(h).image, out, size);
  }
  DWORD GetModuleFileNameExW(HANDLE h, HMODULE, LPWSTR out, DWORD size) override {
    return copy(of(h).module, out, size);
  }
  BOOL TerminateProcess(HANDLE h, UINT) override {
    FakeProcess& p = of(h);
    if (!p.terminable) return FALSE;
    terminated.push_back(static_cast<FakeHandle*>(h)->pid);
    if (p.endsWhenTerminated) p.alive = false;
    return TRUE;
  }
  DWORD WaitForSingleObject(HANDLE h, DWORD) override {
    return of(h).alive ? WAIT_TIMEOUT : WAIT_OBJECT_0;
  }
  BOOL EnumWindows(WNDENUMPROC callback, LPARAM param) override {
    for (const auto& [pid, p] : processes)
      for (int i = 0; i < p.windows; ++i)
        if (!callback(reinterpret_cast<HWND>(static_cast<uintptr_t>(pid << 8 | (i + 1))), param))
          return TRUE;
    return TRUE;
  }
  DWORD GetWindowThreadProcessId(HWND w, DWORD* pid) override {
    *pid = static_cast<DWORD>(reinterpret_cast<uintptr_t>(w) >> 8);
    return 1;
  }
  HWND GetWindow(HWND, UINT) override { return nullptr; }
  BOOL PostMessageW(HWND w, UINT message, WPARAM, LPARAM) override {
    const DWORD pid = static_cast<DWORD>(reinterpret_cast<uintptr_t>(w) >> 8);
    if (message != WM_QUIT) return FALSE;
    askedToQuit.push_back(pid);
    if (processes.at(pid).quitsWhenAsked) processes.at(pid).alive = false;
    return TRUE;
  }
  BOOL CreateProcessW(LPCWSTR name, PROCESS_INFORMATION* info) override {
    if (startFails) return FALSE;
    started.push_back(name);
    info->hProcess = new FakeHandle{0};
    info->hThread = new FakeHandle{0};
    openHandles += 2;
    return TRUE;
  }
  BOOL CloseHandle(HANDLE h) override {
    delete static_cast<FakeHandle*>(h);
    --openHandles;
    return TRUE;
  }
  std::vector<std::u16string> CommandLineArguments() override { return arguments; }
};

FakeProcess indexer() {
  FakeProcess p;
  p.image = u"\\Device\\HarddiskVolume1\\Windows\\System32\\windowssearch.EXE";
  p.module = u"C:\\Windows\\System32\\WindowsSearch.exe";
  p.windows = 1;
  return p;
}

class IndexerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SearchIndexer::resetForTest();
    win32::SetProcessSystemForTest(&fake);
  }
  void TearDown() override {
    win32::SetProcessSystemForTest(nullptr);
    SearchIndexer::resetForTest();
    EXPECT_EQ(fake.openHandles, 0) << "every handle is closed";
  }
  FakeSystem fake;
};

TEST_F(IndexerTest, OtherVersionsAreLeftAlone) {
  fake.processes[100] = indexer();
  for (auto [major, minor] : {std::pair<DWORD, DWORD>{6, 1}, {5, 0}, {10, 0}, {5, 3}}) {
    fake.major = major;
    fake.minor = minor;
    EXPECT_TRUE(SearchIndexer::stopIndexer(5));
    EXPECT_TRUE(SearchIndexer::restartIndexer());
  }
  EXPECT_TRUE(fake.askedToQuit.empty());
  EXPECT_TRUE(fake.terminated.empty());
  EXPECT_TRUE(fake.started.empty());

  // The system's own layer answers Linux's version: nothing to do either.
  win32::SetProcessSystemForTest(nullptr);
  OSVERSIONINFOW version{};
  ASSERT_TRUE(win32::LinuxProcessSystem().GetVersionExW(&version));
  if (version.dwMajorVersion == 5 && (version.dwMinorVersion == 1 || version.dwMinorVersion == 2))
    GTEST_SKIP() << "this kernel's version is 5.1 or 5.2";
  EXPECT_TRUE(SearchIndexer::stopIndexer(5));
  EXPECT_FALSE(SearchIndexer::restartPending());
  EXPECT_TRUE(SearchIndexer::restartIndexer());
}

TEST_F(IndexerTest, StartupSwitchTerminatesOnceThenTheIndexerIsAskedToQuit) {
  fake.processes[50] = FakeProcess{u"\\bin\\bash", u"/bin/bash"};
  fake.processes[100] = indexer();
  fake.arguments = {u"tarvik_gui", u"-STARTUP"};
  SearchIndexer::armStartupSwitch();

  EXPECT_TRUE(SearchIndexer::stopIndexer(5));
  EXPECT_EQ(fake.terminated, std::vector<DWORD>{100});
  EXPECT_TRUE(fake.askedToQuit.empty()) << "terminated without a quit request";
  EXPECT_TRUE(SearchIndexer::restartPending());
  EXPECT_EQ(SearchIndexer::imagePath(), "C:\\Windows\\System32\\WindowsSearch.exe");

  // The restart starts the same program once.
  fake.processes[100].alive = true;
  EXPECT_TRUE(SearchIndexer::restartIndexer());
  EXPECT_EQ(fake.started, std::vector<std::u16string>{u"C:\\Windows\\System32\\WindowsSearch.exe"});
  EXPECT_TRUE(SearchIndexer::restartIndexer());
  EXPECT_EQ(fake.started.size(), 1u);

  // The next mount in the same run asks it to quit: the switch was used up.
  EXPECT_TRUE(SearchIndexer::stopIndexer(5));
  EXPECT_EQ(fake.askedToQuit, std::vector<DWORD>{100});
  EXPECT_EQ(fake.terminated.size(), 1u);
  EXPECT_TRUE(SearchIndexer::restartPending());
}

TEST_F(IndexerTest, AnIndexerThatWillNotStopIsReported) {
  // Armed, but the switch is not on the command line: it is asked to quit,
  // ignores it and is terminated.
  fake.processes[100] = indexer();
  fake.processes[100].quitsWhenAsked = false;
  SearchIndexer::armStartupSwitch();
  EXPECT_TRUE(SearchIndexer::stopIndexer(1));
  EXPECT_EQ(fake.askedToQuit, std::vector<DWORD>{100});
  EXPECT_EQ(fake.terminated, std::vector<DWORD>{100});

  // Without windows it is terminated at once; a failed termination is false
  // and no restart is pending for it.
  fake.processes[100] = indexer();
  fake.processes[100].windows = 0;
  fake.processes[100].terminable = false;
  EXPECT_FALSE(SearchIndexer::stopIndexer(1));
  EXPECT_FALSE(SearchIndexer::restartPending());

  // Terminated but still there after the wait: false as well.
  fake.processes[100].terminable = true;
  fake.processes[100].endsWhenTerminated = false;
  EXPECT_FALSE(SearchIndexer::stopIndexer(1));

  // A restart that cannot start the program stays pending.
  fake.processes[100] = indexer();
  EXPECT_TRUE(SearchIndexer::stopIndexer(1));
  fake.startFails = true;
  EXPECT_FALSE(SearchIndexer::restartIndexer());
  EXPECT_TRUE(SearchIndexer::restartPending());
  fake.startFails = false;
  EXPECT_TRUE(SearchIndexer::restartIndexer());
  EXPECT_FALSE(SearchIndexer::restartPending());
}

// The Linux layer with only the version and the process list replaced.
class LinuxWithVersion : public win32::ProcessSystem {
 public:
  explicit LinuxWithVersion(DWORD pid) : pid_(pid) {}
  win32::ProcessSystem& real = win32::LinuxProcessSystem();
  BOOL GetVersionExW(OSVERSIONINFOW* info) override {
    info->dwMajorVersion = 5;
    info->dwMinorVersion = 2;
    return TRUE;
  }
  BOOL EnumProcesses(DWORD* ids, DWORD, DWORD* returned) override {
    ids[0] = pid_;
    *returned = sizeof(DWORD);
    return TRUE;
  }
  HANDLE OpenProcess(DWORD a, BOOL i, DWORD p) override { return real.OpenProcess(a, i, p); }
  DWORD GetProcessImageFileNameW(HANDLE h, LPWSTR n, DWORD s) override {
    return real.GetProcessImageFileNameW(h, n, s);
  }
  DWORD GetModuleFileNameExW(HANDLE h, HMODULE m, LPWSTR n, DWORD s) override {
    return real.GetModuleFileNameExW(h, m, n, s);
  }
  BOOL TerminateProcess(HANDLE h, UINT c) override { return real.TerminateProcess(h, c); }
  DWORD WaitForSingleObject(HANDLE h, DWORD ms) override { return real.WaitForSingleObject(h, ms); }
  BOOL EnumWindows(WNDENUMPROC f, LPARAM p) override { return real.EnumWindows(f, p); }
  DWORD GetWindowThreadProcessId(HWND w, DWORD* p) override {
    return real.GetWindowThreadProcessId(w, p);
  }
  HWND GetWindow(HWND w, UINT c) override { return real.GetWindow(w, c); }
  BOOL PostMessageW(HWND w, UINT m, WPARAM a, LPARAM b) override {
    return real.PostMessageW(w, m, a, b);
  }
  BOOL CreateProcessW(LPCWSTR n, PROCESS_INFORMATION* i) override {
    return real.CreateProcessW(n, i);
  }
  BOOL CloseHandle(HANDLE h) override { return real.CloseHandle(h); }
  std::vector<std::u16string> CommandLineArguments() override {
    return real.CommandLineArguments();
  }

 private:
  DWORD pid_;
};

TEST(IndexerOnLinux, TheLayerStopsAndStartsARealProgram) {
  SearchIndexer::resetForTest();
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString program = dir.filePath("WindowsSearch.exe");
  ASSERT_TRUE(QFile::copy("/bin/sleep", program));
  QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner | QFile::WriteOwner);

  QProcess running;
  running.start(program, {"1000"});
  ASSERT_TRUE(running.waitForStarted(10000));
  LinuxWithVersion system(static_cast<DWORD>(running.processId()));
  win32::SetProcessSystemForTest(&system);

  EXPECT_TRUE(SearchIndexer::stopIndexer(5));
  EXPECT_TRUE(running.waitForFinished(10000));
  EXPECT_EQ(running.exitStatus(), QProcess::CrashExit) << "killed, there are no windows to ask";
  EXPECT_TRUE(SearchIndexer::restartPending());
  EXPECT_EQ(SearchIndexer::imagePath(), program);

  // The program at that path now leaves a mark when it starts.
  const QString mark = dir.filePath("started");
  QFile::remove(program);
  {
    QFile script(program);
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(("#!/bin/sh\ntouch '" + mark + "'\n").toUtf8());
  }
  QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner | QFile::WriteOwner);
  EXPECT_TRUE(SearchIndexer::restartIndexer());
  EXPECT_FALSE(SearchIndexer::restartPending());
  QDeadlineTimer deadline(20000);
  while (!QFile::exists(mark) && !deadline.hasExpired()) QThread::msleep(20);
  EXPECT_TRUE(QFile::exists(mark));

  win32::SetProcessSystemForTest(nullptr);
  SearchIndexer::resetForTest();
}

}  // namespace
