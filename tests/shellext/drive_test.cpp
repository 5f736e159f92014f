// The context-menu extension and its host against a mounted drive and the
// local service, with the session values written as the desktop client
// writes them (QSettings("Kindrel", "Ambermoor")). The drive is mounted on
// drive letter E's directory, so the selection reads "E:\Home\...", as the
// desktop client's mount point "E:" names it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <picojson.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QSettings>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "fileapi.h"
#include "cloud/cloud_table.h"
#include "drive/decas_frame.h"
#include "local_service.h"
#include "mount_points.h"
#include "private_dirs.h"
#include "tarvik.h"
#include "tarvik_shellext.h"
#include "unicode.h"
#include "winreg.h"
#include "webapi/envelope.h"
#include "webapi/service_methods.h"

namespace {

using tarvik::JsonPtr;
using namespace tarvik;  // the frame's entry points
namespace api = tarvik::api;

bool fuseAvailable() {
  return access("/dev/fuse", R_OK | W_OK) == 0 && access("/usr/bin/fusermount3", X_OK) == 0;
}

void ignoreStatus(int32_t, const char*) {}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Base64 in the CryptoAPI's layout, computed here independently.
std::string base64Lines(const std::string& bytes) {
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 48) {
    std::string chunk = bytes.substr(i, 48);
    std::string line(4 * ((chunk.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(line.data()),
                            reinterpret_cast<const unsigned char*>(chunk.data()), static_cast<int>(chunk.size()));
    out += line.substr(0, static_cast<size_t>(n)) + "\r\n";
  }
  return out;
}

struct Child {
  int status = -1;
  std::string out;
};

// Runs a program in a new session (no controlling terminal: prompts read
// standard input) without a display, feeding `input`.
Child run(const std::vector<std::string>& argv, const std::string& input, const std::string& cwd = "") {
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    dup2(in[0], 0);
    dup2(out[1], 1);
    close(in[1]);
    close(out[0]);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  if (!input.empty() && write(in[1], input.data(), input.size()) < 0) {
  }
  close(in[1]);
  Child c;
  char buf[4096];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) c.out.append(buf, static_cast<size_t>(n));
  close(out[0]);
  waitpid(pid, &c.status, 0);
  return c;
}

struct Offer {
  HRESULT init = S_OK;
  HRESULT added = 0;
  std::vector<std::string> labels;
  int separators = 0;
};

class ShellExtDrive : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!fuseAvailable()) return;
    home_ = new std::string(tarvik_test::usePrivateDirectories());
    setenv("XDG_CONFIG_HOME", (*home_ + "/.config").c_str(), 1);
    service_ = tarvik_test::LocalService::start().release();
    setenv("CURL_CA_BUNDLE", service_->caFile().c_str(), 1);
    ASSERT_EQ(tarvik_init(service_->url().c_str(), "en", false, ignoreStatus), 0);
    ASSERT_FALSE(tarvik::isErrorResult(api::pretestLogin(service_->demoCorp())));
    ASSERT_FALSE(tarvik::isErrorResult(
        api::login(service_->demoCorp(), service_->demoUser(), service_->demoPassword())));
    mnt_ = new std::string(win32::DriveLetterDirectory('E'));
    std::filesystem::create_directories(*mnt_);
    decas_setTableFiller(tarvik::cloud_fillOperationTable);
    ASSERT_EQ(decas_main(*mnt_, DECAS_OPTION_NETWORK, false, false), 0);
    for (int i = 0; i < 500 && !dokan::IsMountPoint(*mnt_); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));  // mount has no completion event to wait on
    ASSERT_TRUE(dokan::IsMountPoint(*mnt_));
    mounted_ = true;
    char js[TARVIK_JSESSIONID_SIZE], aid[TARVIK_ARRAYID_SIZE];
    tarvik_getSessionInfo(js, aid);
    jsessionid_ = new std::string(js);
    arrayid_ = new std::string(aid);
  }
  static void TearDownTestSuite() {
    if (mounted_) decas_exit();
    if (mnt_ && dokan::IsMountPoint(*mnt_)) {
      int rc = system(("fusermount3 -u -z '" + *mnt_ + "'").c_str());
      (void)rc;
    }
    delete service_;
    service_ = nullptr;
  }
  void SetUp() override {
    if (!fuseAvailable()) GTEST_SKIP() << "FUSE is not available here";
    ASSERT_TRUE(mounted_);
    writeSession({});
    win32::SetMessageBoxHandler([this](const std::u16string& text, const std::u16string& caption, UINT type) {
      asked_.push_back(win32::ToUtf8(caption) + "|" + win32::ToUtf8(text));
      EXPECT_EQ(type & 0xF, MB_YESNO);
      return answer_;
    });
  }
  void TearDown() override { win32::SetMessageBoxHandler(nullptr); }

  // The session group as the desktop client writes it after a sign-in;
  // `change` replaces values ("" writes an empty value, "-" leaves one out).
  static void writeSession(const std::map<QString, QString>& change) {
    std::map<QString, QString> v = {{"baseURL", QString::fromStdString(service_->url())},
                                    {"language", "en"},
                                    {"corpId", QString::fromStdString(service_->demoCorp())},
                                    {"userId", QString::fromStdString(service_->demoUser())},
                                    {"mountPoint", "E:"},
                                    {"arrayid", QString::fromStdString(*arrayid_)},
                                    {"jsessionid", QString::fromStdString(*jsessionid_)}};
    for (const auto& [k, x] : change) v[k] = x;
    QSettings s("Kindrel", "Ambermoor");
    s.clear();
    for (const auto& [k, x] : v)
      if (x != "-") s.setValue(k, x);
    s.sync();
  }

  static std::string at(const std::string& drivePath) { return *mnt_ + drivePath; }
  static std::string homeService() { return "/" + service_->demoUser(); }
  static std::string trashService() { return "/!" + service_->demoUser(); }

  static void put(const std::string& drivePath, const std::string& data) {
    int fd = ::open(at(drivePath).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << drivePath << " errno " << errno;
    ASSERT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ASSERT_EQ(::close(fd), 0);
  }
  static bool serviceLists(const std::string& folder, const std::string& name) {
    JsonPtr list = api::getEntries(folder);
    for (size_t i = 0; i < list->count(); ++i)
      if (list->element(i)->member("name")->text() == name) return true;
    return false;
  }

  static HDROP selection(const std::vector<std::string>& natives) {
    std::vector<std::u16string> paths;
    for (const auto& p : natives) paths.push_back(win32::WindowsPath(p));
    return win32::CreateDropFiles(paths);
  }

  static Offer offer(const std::vector<std::string>& natives, UINT flags = CMF_NORMAL) {
    HDROP drop = selection(natives);
    STGMEDIUM medium{TYMED_HGLOBAL, drop, nullptr};
    Offer o;
    o.init = Initialize(&medium);
    HMENU menu = CreatePopupMenu();
    InsertMenuW(menu, 0, MF_BYPOSITION | MF_STRING, 1, u"Open");  // the host's own item stays first
    o.added = QueryContextMenu(menu, 1, 100, 200, flags);
    for (int i = 1; i < GetMenuItemCount(menu); ++i) {
      if (GetMenuState(menu, static_cast<UINT>(i), MF_BYPOSITION) & MF_SEPARATOR) {
        ++o.separators;
        continue;
      }
      WCHAR label[64];
      GetMenuStringW(menu, static_cast<UINT>(i), label, 64, MF_BYPOSITION);
      EXPECT_EQ(GetMenuItemID(menu, i), 100u + o.labels.size());
      o.labels.push_back(win32::ToUtf8(label));
    }
    DestroyMenu(menu);
    DragFinish(drop);
    return o;
  }

  // Offers the commands for the selection and runs the one at `position`.
  void invoke(const std::vector<std::string>& natives, WORD position) {
    HDROP drop = selection(natives);
    STGMEDIUM medium{TYMED_HGLOBAL, drop, nullptr};
    ASSERT_EQ(Initialize(&medium), S_OK);
    HMENU menu = CreatePopupMenu();
    QueryContextMenu(menu, 0, 1, 100, CMF_NORMAL);
    DestroyMenu(menu);
    CMINVOKECOMMANDINFO info{};
    info.cbSize = sizeof info;
    info.lpVerb = MAKEINTRESOURCEA(position);
    EXPECT_EQ(InvokeCommand(&info, &medium), S_OK);
    DragFinish(drop);
  }

  static std::string* home_;
  static std::string* mnt_;
  static std::string* jsessionid_;
  static std::string* arrayid_;
  static tarvik_test::LocalService* service_;
  static bool mounted_;
  int answer_ = IDYES;
  std::vector<std::string> asked_;
};

std::string* ShellExtDrive::home_ = nullptr;
std::string* ShellExtDrive::mnt_ = nullptr;
std::string* ShellExtDrive::jsessionid_ = nullptr;
std::string* ShellExtDrive::arrayid_ = nullptr;
tarvik_test::LocalService* ShellExtDrive::service_ = nullptr;
bool ShellExtDrive::mounted_ = false;

using Labels = std::vector<std::string>;

TEST_F(ShellExtDrive, OffersFollowTheSelection) {
  ASSERT_EQ(::mkdir(at("/Home/offer").c_str(), 0755), 0);
  put("/Home/offer/a.txt", "a");
  put("/Home/offer/b.txt", "b");
  put("/Home/offer/gone.txt", "g");
  ASSERT_EQ(::mkdir(at("/Home/offer/old").c_str(), 0755), 0);
  put("/Home/offer/old/deep.txt", "d");
  ASSERT_EQ(decas_remove("/Home/offer/gone.txt", true), 0);
  ASSERT_EQ(decas_rmdir("/Home/offer/old", true), 0);

  EXPECT_EQ(offer({at("/Trash")}).labels, Labels{"Empty Trash"});
  EXPECT_EQ(offer({at("/Trash"), at("/Home/offer/a.txt")}).labels, Labels{});
  EXPECT_EQ(offer({at("/Trash/gone.txt")}).labels, (Labels{"Restore", "Force Delete"}));
  EXPECT_EQ(offer({at("/Trash/old/deep.txt")}).labels, Labels{"Force Delete"});
  Offer one = offer({at("/Home/offer/a.txt")});
  EXPECT_EQ(one.init, S_OK);
  EXPECT_EQ(one.added, 2);
  EXPECT_EQ(one.separators, 2);  // before and after the commands
  EXPECT_EQ(one.labels, (Labels{"Issue a Send key", "Force Delete"}));
  EXPECT_EQ(offer({at("/Home/offer/a.txt"), at("/Home/offer/b.txt")}).labels, Labels{"Force Delete"});
  EXPECT_EQ(offer({at("/Home/offer")}).labels, (Labels{"Issue a Send key", "Force Delete"}));
  EXPECT_EQ(offer({at("/Home")}).labels, Labels{});
  EXPECT_EQ(offer({at("/Shared folders/Team")}).labels, (Labels{"Issue a Send key", "Force Delete"}));
  EXPECT_EQ(offer({*mnt_}).labels, Labels{});  // the drive itself
  // Verbs only: nothing is added.
  Offer verbs = offer({at("/Home/offer/a.txt")}, CMF_VERBSONLY);
  EXPECT_EQ(verbs.added, 0);
  EXPECT_EQ(verbs.separators, 0);

  // Off the drive: a path elsewhere, and a directory that merely starts like it.
  Offer outside = offer({*home_ + "/notes.txt"});
  EXPECT_EQ(outside.init, E_FAIL);
  EXPECT_EQ(outside.labels, Labels{});
  EXPECT_EQ(offer({*mnt_ + "x/Home/a.txt"}).init, E_FAIL);
  STGMEDIUM none{TYMED_HGLOBAL, nullptr, nullptr};
  EXPECT_EQ(Initialize(&none), E_FAIL);
  EXPECT_EQ(Initialize(nullptr), E_FAIL);
}

TEST_F(ShellExtDrive, EverySessionValueMustBeThereAndFit) {
  put("/Home/session.txt", "s");
  const std::string item = at("/Home/session.txt");
  ASSERT_EQ(offer({item}).init, S_OK);
  for (const char* name : {"userId", "corpId", "language", "baseURL", "arrayid", "jsessionid", "mountPoint"}) {
    writeSession({{name, ""}});
    EXPECT_EQ(offer({item}).init, E_FAIL) << name << " empty";
    writeSession({{name, "-"}});
    Offer o = offer({item});
    EXPECT_EQ(o.init, E_FAIL) << name << " missing";
    EXPECT_EQ(o.labels, Labels{}) << "a failed Initialize leaves nothing offered";
  }
  writeSession({{"corpId", QString(300, 'c')}});  // longer than its 258 bytes
  EXPECT_EQ(offer({item}).init, E_FAIL);
  writeSession({});
  std::filesystem::remove(win32::RegistryStorePath("Kindrel", "Ambermoor"));
  EXPECT_EQ(offer({item}).init, E_FAIL);
}

TEST_F(ShellExtDrive, JapaneseTextsAndNoChangesNothing) {
  put("/Home/keep.txt", "k");
  put("/Home/trashed.txt", "t");
  ASSERT_EQ(decas_remove("/Home/trashed.txt", true), 0);
  writeSession({{"language", "ja"}});
  EXPECT_EQ(offer({*mnt_ + "/ごみ箱"}).labels, Labels{"ごみ箱を空にする"});
  EXPECT_EQ(offer({*mnt_ + "/ごみ箱/x.txt"}).labels, (Labels{"元に戻す", "完全削除"}));
  EXPECT_EQ(offer({*mnt_ + "/ホーム/x.txt"}).labels, (Labels{"送付キー発行", "完全削除"}));
  EXPECT_EQ(offer({*mnt_ + "/ホーム"}).labels, Labels{});

  answer_ = IDNO;
  invoke({*mnt_ + "/ごみ箱"}, 0);
  // The English drive's names lie outside the Japanese layout: only "Force Delete".
  invoke({at("/Home/keep.txt")}, 0);
  EXPECT_EQ(asked_, (std::vector<std::string>{
                        "警告|ごみ箱を空にします。よろしいですか？",
                        "警告|選択したファイルを完全削除します。元に戻すことはできません。よろしいですか？"}));
  EXPECT_TRUE(serviceLists(trashService(), "trashed.txt"));
  EXPECT_TRUE(serviceLists(homeService(), "keep.txt"));
}

TEST_F(ShellExtDrive, CommandsChangeWhatTheServiceHolds) {
  put("/Home/r.txt", "restore me");
  put("/Home/d1.txt", "one");
  put("/Home/d2.txt", "two");
  put("/Home/e.txt", "empty me");
  ASSERT_EQ(decas_remove("/Home/r.txt", true), 0);
  ASSERT_EQ(decas_remove("/Home/e.txt", true), 0);
  std::string outside = *home_ + "/outside.txt";
  std::ofstream(outside) << "mine";

  invoke({at("/Trash/r.txt")}, 0);  // Restore
  EXPECT_TRUE(serviceLists(homeService(), "r.txt"));
  EXPECT_FALSE(serviceLists(trashService(), "r.txt"));
  EXPECT_TRUE(asked_.empty()) << "restore asks nothing";

  // Force delete of two items (and one off the drive, which is left alone).
  invoke({at("/Home/d1.txt"), at("/Home/d2.txt"), outside}, 0);
  EXPECT_FALSE(serviceLists(homeService(), "d1.txt"));
  EXPECT_FALSE(serviceLists(homeService(), "d2.txt"));
  EXPECT_FALSE(serviceLists(trashService(), "d1.txt")) << "deleted permanently, not to the trash";
  EXPECT_EQ(slurp(outside), "mine");

  ASSERT_TRUE(serviceLists(trashService(), "e.txt"));
  invoke({at("/Trash")}, 0);  // Empty Trash
  EXPECT_EQ(api::getEntries(trashService())->count(), 0u);
  EXPECT_EQ(asked_, (std::vector<std::string>{
                        "Caution|Selected files will be permanently deleted. No recovery will be made. OK?",
                        "Caution|Will empty the trash. OK?"}));

  // A position that names no inserted item, or a verb given as text, does nothing.
  put("/Home/stay.txt", "s");
  invoke({at("/Home/stay.txt")}, 2);
  HDROP drop = selection({at("/Home/stay.txt")});
  STGMEDIUM medium{TYMED_HGLOBAL, drop, nullptr};
  CMINVOKECOMMANDINFO info{};
  info.lpVerb = "delete";
  EXPECT_EQ(InvokeCommand(&info, &medium), S_OK);
  EXPECT_EQ(InvokeCommand(&info, nullptr), S_OK);
  DragFinish(drop);
  EXPECT_TRUE(serviceLists(homeService(), "stay.txt"));
}

TEST_F(ShellExtDrive, LongPathsAreNeverCutToAnotherItem) {
  // "E:\Home\" and a 255-character name pass the 260 characters of a
  // classic path buffer; cut there, the path would name the shorter file.
  const std::string longName(255, 'l'), cutName(251, 'l');
  put("/Home/" + longName, "long");
  put("/Home/" + cutName, "the file a cut path would name");
  ASSERT_GT(win32::WindowsPath(at("/Home/" + longName)).size(), 260u);
  invoke({at("/Home/" + longName)}, 1);  // Force Delete
  EXPECT_FALSE(serviceLists(homeService(), longName));
  EXPECT_TRUE(serviceLists(homeService(), cutName));
}

TEST_F(ShellExtDrive, SendKeyPageIsTheSpecifiedTextAndItsFrameIssuesAWorkingKey) {
  // The opener records what it was asked to open instead of starting a browser.
  std::string bin = *home_ + "/bin";
  std::filesystem::create_directories(bin);
  std::string opened = *home_ + "/opened";
  std::ofstream(bin + "/xdg-open") << "#!/bin/sh\nprintf '%s' \"$1\" > '" << opened << ".tmp' && mv '" << opened
                                   << ".tmp' '" << opened << "'\n";
  chmod((bin + "/xdg-open").c_str(), 0755);
  std::string oldPath = getenv("PATH");
  setenv("PATH", (bin + ":" + oldPath).c_str(), 1);

  // Page files from earlier: one two days old goes, a recent one and other files stay.
  std::string tmp = getenv("TMPDIR");
  std::ofstream(tmp + "/ack1A2B.html") << "old";
  std::ofstream(tmp + "/ack3C4D.html") << "recent";
  std::ofstream(tmp + "/notes.html") << "not a page";
  struct timeval twoDaysAgo[2] = {{time(nullptr) - 2 * 86400, 0}, {time(nullptr) - 2 * 86400, 0}};
  utimes((tmp + "/ack1A2B.html").c_str(), twoDaysAgo);
  utimes((tmp + "/notes.html").c_str(), twoDaysAgo);

  // A name with markup, quotes and an ampersand.
  const std::string name = "a<img src=x onerror=\"alert(1)\">&'b'.txt";
  const std::string content = "the file behind the key";
  put("/Home/" + name, content);
  invoke({at("/Home/" + name)}, 0);
  setenv("PATH", oldPath.c_str(), 1);

  // The opener runs detached from the extension: wait for its record.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!std::filesystem::exists(opened) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::string page = slurp(opened);
  ASSERT_FALSE(page.empty()) << "xdg-open was not called";
  EXPECT_EQ(page.rfind(tmp + "/ack", 0), 0u) << page;
  EXPECT_EQ(page.substr(page.size() - 5), ".html");
  struct stat st;
  ASSERT_EQ(stat(page.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "the page holds the session id";
  EXPECT_FALSE(std::filesystem::exists(tmp + "/ack1A2B.html"));
  EXPECT_TRUE(std::filesystem::exists(tmp + "/ack3C4D.html"));
  EXPECT_TRUE(std::filesystem::exists(tmp + "/notes.html"));

  const std::string servicePath = homeService() + "/" + name;
  const std::string frame = base64Lines(servicePath) + ",en";
  const std::string expected =
      "\xEF\xBB\xBF"
      "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\" /><title>"
      "a&lt;img src=x onerror=&quot;alert(1)&quot;&gt;&amp;&#39;b&#39;.txt"
      " - Ambermoor</title></head><body style=\"margin:0; padding:0; overflow:hidden\"><iframe name=\"" +
      frame +
      "\" id=\"frameForAKonQWO\" width=\"100%\" height=\"100%\" frameborder=\"0\" marginheight=\"0\" "
      "marginwidth=\"0\" src=" +
      service_->url() + "v2/browse?arrayid=" + *arrayid_ + "&jsessionid=" + *jsessionid_ + "#" +
      service_->demoCorp() + "></iframe></body></html>";
  EXPECT_EQ(slurp(page), expected);

  // What the framed page does: load with the session, ask for a key for the
  // path in its frame name; the key then downloads the file without sign-in.
  httplib::SSLClient cli("127.0.0.1", service_->port());
  cli.set_ca_cert_path(service_->caFile().c_str());
  auto browse = cli.Get(("/v2/browse?arrayid=" + *arrayid_ + "&jsessionid=" + *jsessionid_).c_str());
  ASSERT_TRUE(browse);
  EXPECT_EQ(browse->status, 200);
  std::string b64 = frame.substr(0, frame.find(','));
  std::string joined;
  for (char c : b64)
    if (c != '\r' && c != '\n') joined += c;
  std::string decoded(joined.size(), '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                          reinterpret_cast<const unsigned char*>(joined.data()), static_cast<int>(joined.size()));
  decoded.resize(static_cast<size_t>(n) - std::count(joined.end() - 2, joined.end(), '='));
  EXPECT_EQ(decoded, servicePath);
  httplib::Params form{{"jsessionid", *jsessionid_}, {"arrayid", *arrayid_}, {"path", decoded}};
  auto issued = cli.Post("/v2/sendKey", form);
  ASSERT_TRUE(issued);
  picojson::value v;
  picojson::parse(v, issued->body);
  ASSERT_TRUE(v.get("result").is<picojson::object>()) << issued->body;
  std::string url = v.get("result").get("url").get<std::string>();
  httplib::SSLClient anonymous("127.0.0.1", service_->port());
  anonymous.set_ca_cert_path(service_->caFile().c_str());
  auto file = anonymous.Get(url.substr(url.find("/v2/download/")).c_str());
  ASSERT_TRUE(file);
  EXPECT_EQ(file->status, 200);
  EXPECT_EQ(file->body, content);
}

TEST_F(ShellExtDrive, GetCommandStringCopiesAnEmptyText) {
  char narrow[8];
  memset(narrow, 'x', sizeof narrow);
  EXPECT_EQ(GetCommandString(0, GCS_HELPTEXTA, narrow, sizeof narrow), S_OK);
  EXPECT_EQ(narrow[0], '\0');
  EXPECT_EQ(narrow[1], 'x');
  WCHAR wide[8];
  std::fill(std::begin(wide), std::end(wide), u'x');
  EXPECT_EQ(GetCommandString(0, GCS_HELPTEXTW, reinterpret_cast<char*>(wide), 8), S_OK);
  EXPECT_EQ(wide[0], u'\0');
  EXPECT_EQ(wide[1], u'x');
  EXPECT_EQ(GetCommandString(0, GCS_VERBW, reinterpret_cast<char*>(wide), 0), S_OK);  // no room: untouched
  EXPECT_EQ(wide[1], u'x');
}

TEST_F(ShellExtDrive, HostListsInvokesAndServesTheNautilusScript) {
  const std::string host = TARVIK_CTXMENU_BINARY;
  put("/Home/h1.txt", "1");
  put("/Home/h2.txt", "2");
  Child list = run({host, "--list", at("/Home/h1.txt")}, "");
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out, "0\tIssue a Send key\n1\tForce Delete\n");
  Child relative = run({host, "--list", "h1.txt", "./../Home/h2.txt"}, "", at("/Home"));
  EXPECT_EQ(relative.out, "0\tForce Delete\n");
  Child uri = run({host, "--list", "file://" + at("/Home/h1.txt")}, "");
  EXPECT_EQ(uri.out, "0\tIssue a Send key\n1\tForce Delete\n");
  Child off = run({host, "--list", *home_}, "");
  EXPECT_EQ(off.status, 0);
  EXPECT_EQ(off.out, "");
  EXPECT_NE(WEXITSTATUS(run({host, "--invoke", "0", *home_}, "").status), 0);
  EXPECT_EQ(WEXITSTATUS(run({host, "--invoke", "5", at("/Home/h1.txt")}, "").status), 2);

  // "No" at the prompt keeps the file; "y" deletes it.
  EXPECT_EQ(WEXITSTATUS(run({host, "--invoke", "1", at("/Home/h1.txt")}, "n\n").status), 0);
  EXPECT_TRUE(serviceLists(homeService(), "h1.txt"));
  EXPECT_EQ(WEXITSTATUS(run({host, "--invoke", "1", at("/Home/h1.txt")}, "y\n").status), 0);
  EXPECT_FALSE(serviceLists(homeService(), "h1.txt"));

  // The installed Nautilus script, run as Nautilus runs it (in the folder,
  // names as arguments): the host's menu on the terminal, then the prompt.
  ASSERT_EQ(WEXITSTATUS(run({host, "--install"}, "").status), 0);
  std::string script = *home_ + "/.local/share/nautilus/scripts/Ambermoor";
  Child viaScript = run({script, "h2.txt"}, "1\ny\n", at("/Home"));  // 1: Force Delete
  EXPECT_EQ(WEXITSTATUS(viaScript.status), 0);
  EXPECT_FALSE(serviceLists(homeService(), "h2.txt"));
  ASSERT_EQ(WEXITSTATUS(run({host, "--uninstall"}, "").status), 0);
}

TEST_F(ShellExtDrive, IntegrationFilesForEachFileManager) {
  const std::string host = TARVIK_CTXMENU_BINARY;
  const std::string data = *home_ + "/.local/share", config = *home_ + "/.config";
  // Thunar's system-wide actions become the user's file, with ours added.
  std::string xdg = *home_ + "/xdg";
  std::filesystem::create_directories(xdg + "/Thunar");
  std::ofstream(xdg + "/Thunar/uca.xml")
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n<action>\n\t<name>Open Terminal Here</name>\n"
         "\t<unique-id>1</unique-id>\n\t<command>term %f</command>\n</action>\n</actions>\n";
  setenv("XDG_CONFIG_DIRS", xdg.c_str(), 1);
  ASSERT_EQ(WEXITSTATUS(run({host, "--install"}, "").status), 0);
  ASSERT_EQ(WEXITSTATUS(run({host, "--install"}, "").status), 0);  // twice: still one entry each
  unsetenv("XDG_CONFIG_DIRS");

  std::string nautilus = slurp(data + "/nautilus/scripts/Ambermoor");
  EXPECT_NE(nautilus.find("exec '" + host + "' -- \"$@\""), std::string::npos) << nautilus;
  std::string nemo = slurp(data + "/nemo/actions/tarvik-ambermoor.nemo_action");
  EXPECT_NE(nemo.find("[Nemo Action]"), std::string::npos);
  EXPECT_NE(nemo.find("Exec=\"" + host + "\" %F\n"), std::string::npos) << nemo;
  std::string dolphin = slurp(data + "/kio/servicemenus/tarvik-ambermoor.desktop");
  EXPECT_NE(dolphin.find("Exec=\"" + host + "\" %F\n"), std::string::npos) << dolphin;
  EXPECT_NE(dolphin.find("MimeType=all/all;"), std::string::npos);
  for (const std::string& exe : {data + "/nautilus/scripts/Ambermoor", data + "/kio/servicemenus/tarvik-ambermoor.desktop"}) {
    struct stat st;
    ASSERT_EQ(stat(exe.c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR) << exe << " must be executable to be run";
  }
  std::string uca = slurp(config + "/Thunar/uca.xml");
  EXPECT_NE(uca.find("Open Terminal Here"), std::string::npos);
  EXPECT_NE(uca.find("<command>&quot;" + host + "&quot; %F</command>"), std::string::npos) << uca;
  size_t first = uca.find("tarvik-ambermoor-ctxmenu");
  EXPECT_NE(first, std::string::npos);
  EXPECT_EQ(uca.find("tarvik-ambermoor-ctxmenu", first + 1), std::string::npos);

  ASSERT_EQ(WEXITSTATUS(run({host, "--uninstall"}, "").status), 0);
  EXPECT_FALSE(std::filesystem::exists(data + "/nemo/actions/tarvik-ambermoor.nemo_action"));
  EXPECT_FALSE(std::filesystem::exists(data + "/nautilus/scripts/Ambermoor"));
  uca = slurp(config + "/Thunar/uca.xml");
  EXPECT_NE(uca.find("Open Terminal Here"), std::string::npos);
  EXPECT_EQ(uca.find("tarvik-ambermoor-ctxmenu"), std::string::npos);

  // A uca.xml that is not an action list is never overwritten.
  std::ofstream(config + "/Thunar/uca.xml") << "garbage";
  EXPECT_NE(WEXITSTATUS(run({host, "--install"}, "").status), 0);
  EXPECT_EQ(slurp(config + "/Thunar/uca.xml"), "garbage");
}

}  // namespace
