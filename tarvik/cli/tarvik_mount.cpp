// tarvik-mount: mounts the storage drive from the command line, for Linux
// users without the tray client. It drives the library through its public
// exports in the order the desktop client uses, stays in the foreground
// while the drive is mounted, and unmounts on Ctrl-C or SIGTERM.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>

#include "cache/byte_size.h"
#include "tarvik.h"
#include "wincrypt.h"

namespace {

const char kUsage[] =
    "Usage: tarvik-mount --url URL --corp ID --user ID [options] MOUNTPOINT\n"
    "\n"
    "Signs in to the storage service and mounts your storage as a drive on\n"
    "MOUNTPOINT: a directory, or a drive letter such as \"S:\" for\n"
    "$HOME/Ambermoor/S. Stays in the foreground; Ctrl-C or SIGTERM unmounts.\n"
    "\n"
    "Options:\n"
    "  --url URL               the service's base URL, e.g. https://host:8443/\n"
    "  --corp ID               corporate ID (may come from the certificate)\n"
    "  --user ID               user ID (may come from the certificate)\n"
    "  --password-file FILE    read the password from the first line of FILE\n"
    "  --password-stdin        read the password from standard input\n"
    "                          (without either, it is asked for without echo;\n"
    "                          it is never taken from the command line)\n"
    "  --cert PEM              sign in with the client certificate and key in PEM\n"
    "  --log                   write a log file under ~/.korbel/log\n"
    "  --lang ja|en            language of the folder names and messages (en)\n"
    "  --proxy HOST:PORT       use a proxy\n"
    "  --proxy-type TYPE       http (default), http1.0, socks4, socks4a, socks5, socks5h\n"
    "  --proxy-user USER       proxy user name\n"
    "  --proxy-password-file F proxy password from the first line of F\n"
    "  --clear-cache           empty the local block cache before mounting\n"
    "  --cache-limit SIZE      keep the block cache under SIZE (e.g. 2G, 500M; default:\n"
    "                          the smaller of 10G and 10 % of its file system);\n"
    "                          sets TARVIK_CACHE_LIMIT. Data written and not yet\n"
    "                          committed is never evicted: open files may take the\n"
    "                          cache over the limit by their uncommitted data\n"
    "  --mark-read             mark the shown announcement as read\n"
    "  --pending               list the files of --corp/--user that wait for upload\n"
    "                          (kept when the service could not take them; they are\n"
    "                          uploaded at the next mount) and exit; no sign-in\n"
    "  -h, --help              show this text\n"
    "\n"
    "The service's certificate is verified against the system's trust store,\n"
    "or against the file named by the CURL_CA_BUNDLE environment variable.\n";

// Set when the library reports that the drive could not be mounted (its
// mount thread gave up), so the wait for the drive ends at once.
std::atomic<bool> g_mountFailed{false};
constexpr int32_t kMountFailedCode = 5000;

void statusMessage(int32_t code, const char* message) {
  // Called from any library thread; one fprintf per message keeps lines whole.
  std::fprintf(stderr, "tarvik-mount: [%d] %s\n", code, message ? message : "");
  if (code == kMountFailedCode) g_mountFailed.store(true);
}

bool readFirstLine(const std::string& path, std::string& out) {
  std::ifstream in(path);
  if (!in) return false;
  std::getline(in, out);
  if (!out.empty() && out.back() == '\r') out.pop_back();
  return true;
}

std::string promptPassword(const char* prompt) {
  std::fprintf(stderr, "%s", prompt);
  std::fflush(stderr);
  struct termios old;
  const bool tty = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &old) == 0;
  if (tty) {
    struct termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string line;
  std::getline(std::cin, line);
  if (tty) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
    std::fprintf(stderr, "\n");
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

int proxyTypeCode(const std::string& name) {
  static const std::map<std::string, int> kTypes = {
      {"http", 0}, {"http1.0", 1}, {"socks4", 4}, {"socks5", 5}, {"socks4a", 6}, {"socks5h", 7}};
  auto it = kTypes.find(name);
  return it == kTypes.end() ? -1 : it->second;
}

bool isDriveLetter(const std::string& text) {
  return (text.size() == 2 || (text.size() == 3 && (text[2] == '\\' || text[2] == '/'))) &&
         std::isalpha(static_cast<unsigned char>(text[0])) && text[1] == ':';
}

// Resolves the directory a mount point text names, as the drive layer does:
// a drive letter names $HOME/Ambermoor/<letter>; any other text is a
// directory, relative ones taken from the current directory.
std::string mountDirectory(const std::string& mountPoint) {
  std::string dir;
  if (isDriveLetter(mountPoint)) {
    const char* home = std::getenv("HOME");
    dir = std::string(home && *home ? home : "/root") + "/Ambermoor/" +
          static_cast<char>(std::toupper(static_cast<unsigned char>(mountPoint[0])));
  } else if (!mountPoint.empty() && mountPoint[0] == '/') {
    dir = mountPoint;
  } else {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) return {};
    dir = std::string(cwd) + "/" + mountPoint;
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

// Whether `dir` is a mount point; *type receives the file system type
// and source of its mount ("fuse.dokan tarvik" for a drive of ours).
bool isMounted(const std::string& dir, std::string* type = nullptr) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    // Field 5 is the mount point; blanks and backslashes come as octal "\ooo".
    size_t pos = 0;
    for (int field = 0; field < 4 && pos != std::string::npos; ++field) pos = line.find(' ', pos + 1);
    if (pos == std::string::npos) continue;
    const size_t end = line.find(' ', pos + 1);
    const std::string raw = line.substr(pos + 1, end - pos - 1);
    std::string mp;
    for (size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] == '\\' && i + 3 < raw.size() &&
          std::isdigit(static_cast<unsigned char>(raw[i + 1]))) {
        mp += static_cast<char>(std::strtol(raw.substr(i + 1, 3).c_str(), nullptr, 8));
        i += 3;
      } else {
        mp += raw[i];
      }
    }
    if (mp == dir) {
      if (type != nullptr) {
        // After the optional fields' " - ": the type, then the source.
        const size_t dash = line.find(" - ");
        std::istringstream rest(dash == std::string::npos ? "" : line.substr(dash + 3));
        std::string fsType, source;
        rest >> fsType >> source;
        *type = fsType + " " + source;
      }
      return true;
    }
  }
  return false;
}

// A drive of ours whose process died leaves its mount point answering
// "Transport endpoint is not connected"; it is taken away (lazily, as
// nothing can be served from it any more). True when `dir` is free now.
bool cleanDeadDrive(const std::string& dir) {
  std::string type;
  if (!isMounted(dir, &type) || type != "fuse.dokan tarvik") return false;
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0 || errno != ENOTCONN) return false;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execlp("fusermount3", "fusermount3", "-uz", dir.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0 || isMounted(dir)) {
    return false;
  }
  std::fprintf(stderr, "tarvik-mount: took away the dead drive left on %s\n", dir.c_str());
  return true;
}

// Says why `dir` cannot take the drive, or "" when it can: it must be a
// directory (or not exist yet: it is created) and not already a mount
// point (but a dead drive of ours, which is taken away). The mount table is
// read first, so a mount point whose file system no longer answers is never
// stat'ed before it is known to be one.
std::string mountPointProblem(const std::string& dir) {
  if (dir.empty()) return "cannot resolve the mount point";
  if (isMounted(dir) && !cleanDeadDrive(dir)) {
    return dir + " is already a mount point; unmount it first (fusermount3 -u " + dir + ")";
  }
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) {
    if (errno == ENOENT) return "";  // created when the drive is mounted
    return dir + ": " + std::strerror(errno);
  }
  if (!S_ISDIR(st.st_mode)) return dir + " is not a directory";
  return "";
}

// Prints the files of the account that wait for upload; the number of
// them, or -1 when the journal cannot be read.
int printPending(const std::string& corp, const std::string& user) {
  static char list[64 * 1024];
  const int n = tarvik_getPendingUploads(corp.c_str(), user.c_str(), list, sizeof list, nullptr);
  if (n < 0) {
    std::fprintf(stderr, "tarvik-mount: cannot read the files waiting for upload (%d)\n", n);
    return -1;
  }
  if (n == 0) {
    std::printf("No files wait for upload.\n");
  } else {
    std::printf("%d file%s wait%s for upload (uploaded at the next mount):\n%s", n,
                n == 1 ? "" : "s", n == 1 ? "s" : "", list);
  }
  std::fflush(stdout);
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  std::string url, corp, user, passwordFile, certFile, lang = "en", proxy, proxyType = "http",
                                                         proxyUser, proxyPasswordFile, mountPoint;
  bool passwordStdin = false, log = false, clearCache = false, markRead = false, pending = false;
  std::string cacheLimit;

  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "tarvik-mount: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      out = argv[++i];
    };
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--url") value(url);
    else if (a == "--corp") value(corp);
    else if (a == "--user") value(user);
    else if (a == "--password-file") value(passwordFile);
    else if (a == "--password-stdin") passwordStdin = true;
    else if (a == "--cert") value(certFile);
    else if (a == "--log") log = true;
    else if (a == "--lang") value(lang);
    else if (a == "--proxy") value(proxy);
    else if (a == "--proxy-type") value(proxyType);
    else if (a == "--proxy-user") value(proxyUser);
    else if (a == "--proxy-password-file") value(proxyPasswordFile);
    else if (a == "--clear-cache") clearCache = true;
    else if (a == "--cache-limit") value(cacheLimit);
    else if (a == "--mark-read") markRead = true;
    else if (a == "--pending") pending = true;
    else if (a == "--password") {
      std::fprintf(stderr, "tarvik-mount: the password is never taken from the command line; "
                           "use --password-file, --password-stdin or the prompt\n");
      return 2;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "tarvik-mount: unknown option %s (see --help)\n", a.c_str());
      return 2;
    } else if (mountPoint.empty()) {
      mountPoint = a;
    } else {
      std::fprintf(stderr, "tarvik-mount: more than one mount point given\n");
      return 2;
    }
  }
  if (pending) {
    if (corp.empty() || user.empty()) {
      std::fprintf(stderr, "tarvik-mount: --pending needs --corp and --user\n");
      return 2;
    }
    return printPending(corp, user) < 0 ? 1 : 0;
  }
  if (url.empty() || mountPoint.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (url.back() != '/') url += '/';

  // A mount point that cannot take the drive fails here, before signing in,
  // rather than after a wait for a drive that never comes.
  const std::string dir = mountDirectory(mountPoint);
  if (const std::string problem = mountPointProblem(dir); !problem.empty()) {
    std::fprintf(stderr, "tarvik-mount: %s\n", problem.c_str());
    return 1;
  }
  // The library gets the drive letter as given, or the directory resolved.
  const std::string mountText = isDriveLetter(mountPoint) ? mountPoint : dir;
  if ((corp.empty() || user.empty()) && certFile.empty()) {
    std::fprintf(stderr, "tarvik-mount: --corp and --user are required without --cert\n");
    return 2;
  }

  // The library reads its cache limit from the environment at tarvik_init.
  {
    const char* inherited = std::getenv("TARVIK_CACHE_LIMIT");
    const std::string text = !cacheLimit.empty() ? cacheLimit : inherited ? inherited : "";
    int64_t bytes = 0;
    if (!text.empty() && !tarvik::parseByteSize(text, &bytes)) {
      std::fprintf(stderr, "tarvik-mount: cache limit \"%s\" is not a size such as 2G or 500M\n",
                   text.c_str());
      return 2;
    }
    if (!cacheLimit.empty()) ::setenv("TARVIK_CACHE_LIMIT", cacheLimit.c_str(), 1);
  }

  // Proxy and certificate only store values; they come first.
  std::string proxyHost, proxyPassword;
  int proxyPort = 0;
  if (!proxy.empty()) {
    const size_t colon = proxy.rfind(':');
    proxyHost = proxy.substr(0, colon);
    proxyPort = colon == std::string::npos ? 8080 : std::atoi(proxy.c_str() + colon + 1);
    if (proxyTypeCode(proxyType) < 0) {
      std::fprintf(stderr, "tarvik-mount: unknown proxy type %s\n", proxyType.c_str());
      return 2;
    }
    if (!proxyPasswordFile.empty() && !readFirstLine(proxyPasswordFile, proxyPassword)) {
      std::fprintf(stderr, "tarvik-mount: cannot read %s\n", proxyPasswordFile.c_str());
      return 2;
    }
  }
  tarvik_setProxy(proxyHost.c_str(), proxyPort, proxyTypeCode(proxyType), proxyUser.c_str(),
                  proxyPassword.c_str());

  PCCERT_CONTEXT cert = nullptr;
  if (!certFile.empty()) {
    DWORD error = 0;
    cert = win32::CertCreateContextFromPemFile(certFile, &error);
    if (cert == nullptr) {
      std::fprintf(stderr, "tarvik-mount: cannot use the certificate %s (error %u)\n",
                   certFile.c_str(), static_cast<unsigned>(error));
      return 2;
    }
  }
  tarvik_setCertificate(cert);

  if (clearCache && tarvik_clearCache() != 0) {
    std::fprintf(stderr, "tarvik-mount: the block cache could not be cleared\n");
  }

  if (tarvik_init(url.c_str(), lang.c_str(), log, statusMessage) != 0) {
    std::fprintf(stderr, "tarvik-mount: the service at %s cannot be reached\n", url.c_str());
    return 1;
  }

  bool passwordNeeded = true;
  if (cert != nullptr) {
    char pkiCorp[TARVIK_CORPID_SIZE] = "", pkiUser[TARVIK_USERID_SIZE] = "";
    bool required = true;
    if (tarvik_getPKIInfo(pkiCorp, pkiUser, &required) == 0) {
      if (corp.empty()) corp = pkiCorp;
      if (user.empty()) user = pkiUser;
      passwordNeeded = required;
      std::fprintf(stderr, "tarvik-mount: certificate of %s / %s\n", pkiCorp, pkiUser);
    } else if (corp.empty() || user.empty()) {
      std::fprintf(stderr, "tarvik-mount: the service does not know this certificate\n");
      return 1;
    }
  }

  std::string password;
  if (!passwordFile.empty()) {
    if (!readFirstLine(passwordFile, password)) {
      std::fprintf(stderr, "tarvik-mount: cannot read %s\n", passwordFile.c_str());
      return 2;
    }
  } else if (passwordStdin) {
    std::getline(std::cin, password);
    if (!password.empty() && password.back() == '\r') password.pop_back();
  } else if (passwordNeeded) {
    password = promptPassword("Password: ");
  }

  // Block the stop signals before the library starts its threads, so that
  // only sigwait below sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  const int rc = tarvik_mount(mountText.c_str(), corp.c_str(), user.c_str(), password.c_str(), 16, false);
  std::fill(password.begin(), password.end(), '\0');
  if (rc != 0) {
    std::fprintf(stderr, "tarvik-mount: sign-in or mount failed (%d)\n", rc);
    return 1;
  }

  char jsessionid[TARVIK_JSESSIONID_SIZE], arrayid[TARVIK_ARRAYID_SIZE];
  tarvik_getSessionInfo(jsessionid, arrayid);

  static char announcement[TARVIK_ANNOUNCEMENT_SIZE];
  int64_t modified = 0;
  if (tarvik_getAnnouncement(false, announcement, &modified) == 0 && announcement[0] != '\0') {
    const time_t t = static_cast<time_t>(modified / 1000);
    char when[64];
    strftime(when, sizeof when, "%Y-%m-%d %H:%M", localtime(&t));
    std::printf("Announcement (%s):\n%s\n", when, announcement);
    if (markRead) tarvik_markReadCurrentAnnouncement();
  }

  // The drive comes up on the library's mount thread; wait until it is
  // there, or until the library reports that it could not mount it.
  for (int i = 0; i < 300 && !isMounted(dir) && !g_mountFailed.load(); ++i) usleep(100 * 1000);
  if (!isMounted(dir)) {
    std::fprintf(stderr, "tarvik-mount: the drive could not be mounted on %s\n", dir.c_str());
    tarvik_unmount();  // waits for the library's mount thread to end
    return 1;
  }
  std::printf("Mounted on %s. Press Ctrl-C to unmount.\n", dir.c_str());
  std::fflush(stdout);

  // Wait for a stop signal, or for the drive to go away by itself (an
  // unmount from outside, or the library ending a lost session).
  bool gone = false;
  for (;;) {
    struct timespec second = {1, 0};
    const int sig = sigtimedwait(&stopSignals, nullptr, &second);
    if (sig > 0) {
      gone = !isMounted(dir);
      break;
    }
    if (!isMounted(dir)) {
      gone = true;
      break;
    }
  }
  if (gone) {
    std::printf("The drive on %s was unmounted.\n", dir.c_str());
    tarvik_unmount();
    printPending(corp, user);
    return 0;
  }
  std::printf("Unmounting %s...\n", dir.c_str());
  std::fflush(stdout);
  const int urc = tarvik_unmount();
  if (cert != nullptr) CertFreeCertificateContext(cert);
  if (urc != 0) {
    std::fprintf(stderr, "tarvik-mount: unmount failed (%d)\n", urc);
    return 1;
  }
  std::printf("Unmounted.\n");
  printPending(corp, user);
  return 0;
}
