// localservice_bench static --cert C --key K --root DIR --port P
//   serves DIR as plain static files over TLS (the download baseline).
// localservice_bench list [--entries N] [--runs R]
//   times getEntries of a folder with N entries inside the service
//   (store query and JSON answer), and prints "name: value" lines.
#include <httplib.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <vector>

#include "service.h"

using namespace ambermoor;

namespace {

std::string arg(int argc, char** argv, const std::string& name, const std::string& def) {
  for (int i = 1; i + 1 < argc; ++i)
    if (argv[i] == name) return argv[i + 1];
  return def;
}

int serveStatic(int argc, char** argv) {
  std::string cert = arg(argc, argv, "--cert", ""), key = arg(argc, argv, "--key", "");
  httplib::SSLServer srv(cert.c_str(), key.c_str());
  if (!srv.is_valid() || !srv.set_mount_point("/", arg(argc, argv, "--root", ".")))
    return 1;
  int port = std::stoi(arg(argc, argv, "--port", "0"));
  if (!srv.bind_to_port("127.0.0.1", port)) return 1;
  std::cout << "ready: yes" << std::endl;
  srv.listen_after_bind();
  return 0;
}

int timeListing(int argc, char** argv) {
  int entries = std::stoi(arg(argc, argv, "--entries", "2000"));
  int runs = std::stoi(arg(argc, argv, "--runs", "50"));
  auto dir = std::filesystem::temp_directory_path() / ("ls-bench-" + randomToken(4));
  std::filesystem::create_directories(dir);
  double median = 0, best = 0;
  {
    ServiceConfig cfg;
    UserAccount u;
    u.corpId = "bench";
    u.userId = "u";
    u.password = "p";
    cfg.users.push_back(u);
    Service svc(cfg, dir.string(), false);
    std::string array = svc.sessions().newArray("bench");
    std::string sid = *svc.sessions().login(array, "bench", "u");
    ApiRequest mk;
    mk.method = "makeDirectory";
    mk.post = true;
    mk.jsessionid = sid;
    mk.params["path"] = "/u/big";
    mk.params["memo"] = "";
    svc.call(mk);
    for (int i = 0; i < entries; ++i) {
      mk.params["path"] = "/u/big/entry-" + std::to_string(i) + ".txt";
      svc.call(mk);
    }
    ApiRequest ls;
    ls.method = "getEntries";
    ls.post = true;
    ls.jsessionid = sid;
    ls.params["path"] = "/u/big";
    std::vector<double> ms;
    std::size_t bytes = 0;
    for (int r = 0; r < runs; ++r) {
      auto t0 = std::chrono::steady_clock::now();
      picojson::object env;
      env["result"] = svc.call(ls);
      std::string body = picojson::value(env).serialize();
      auto t1 = std::chrono::steady_clock::now();
      bytes = body.size();
      ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    median = ms[ms.size() / 2];
    best = ms.front();
    std::cout << "list-entries: " << entries << "\n"
              << "list-answer-bytes: " << bytes << "\n";
  }
  std::filesystem::remove_all(dir);
  std::cout << "list-median-ms: " << median << "\n"
            << "list-best-ms: " << best << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  std::string mode = argc > 1 ? argv[1] : "";
  try {
    if (mode == "static") return serveStatic(argc, argv);
    if (mode == "list") return timeListing(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "localservice_bench: " << e.what() << "\n";
    return 1;
  }
  std::cerr << "usage: localservice_bench static|list ...\n";
  return 2;
}
