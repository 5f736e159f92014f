// Downloads one 8 MiB block 64 times with downloadBlock and with the curl
// program from the same local service in the same run, and prints the
// throughput of both, their ratio and the peak resident memory of this
// process (the library's; the service and curl run as child processes).
//
// Usage: webapi_download_bench [count]   (default 64)
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "core/directories.h"
#include "core/library_state.h"
#include "local_service.h"
#include "tarvik.h"
#include "webapi/block_id.h"
#include "webapi/envelope.h"
#include "webapi/service_methods.h"

namespace api = tarvik::api;

namespace {

constexpr size_t kBlockSize = 8u * 1024 * 1024;

double seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void quietCallback(int32_t code, const char* message) {
  std::cerr << "status " << code << ": " << message << "\n";
}

int fail(const std::string& why) {
  std::cerr << "webapi_download_bench: " << why << "\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 64;
  char dirTemplate[] = "/tmp/webapi-bench-XXXXXX";
  if (mkdtemp(dirTemplate) == nullptr) return fail("mkdtemp");
  const std::string dir = dirTemplate;
  setenv("USERPROFILE", dir.c_str(), 1);
  setenv("TMPDIR", dir.c_str(), 1);

  auto service = tarvik_test::LocalService::start();
  setenv("CURL_CA_BUNDLE", service->caFile().c_str(), 1);
  if (tarvik_init(service->url().c_str(), "en", false, &quietCallback) != 0) return fail("init");
  if (tarvik::isErrorResult(api::pretestLogin(service->demoCorp())) ||
      tarvik::isErrorResult(
          api::login(service->demoCorp(), service->demoUser(), service->demoPassword()))) {
    return fail("sign-in");
  }

  // One full block of varied bytes, uploaded once.
  const std::string blockFile = dir + "/block";
  {
    std::string data(kBlockSize, '\0');
    uint32_t x = 12345;
    for (char& c : data) {
      x = x * 1103515245u + 12345u;
      c = static_cast<char>(x >> 24);
    }
    std::ofstream(blockFile, std::ios::binary).write(data.data(), data.size());
  }
  const std::string home = "/" + service->demoUser();
  const std::string path = home + "/bench.bin";
  tarvik::JsonPtr up = api::pretestUploadFile(path);
  const std::string id = tarvik::blockIdOfFile(blockFile);
  if (tarvik::isErrorResult(up) || tarvik::isErrorResult(api::uploadBlock(up->text(), id, blockFile)) ||
      tarvik::isErrorResult(api::uploadFile(up->text(), {id}))) {
    return fail("upload");
  }
  tarvik::JsonPtr down = api::pretestDownloadFile(path);
  if (tarvik::isErrorResult(down)) return fail("pretestDownloadFile");
  const std::string token = down->member("token")->text();

  // The library: downloadBlock into a fresh file each time, verified.
  const double libStart = seconds();
  for (int i = 0; i < count; ++i) {
    const std::string dest = dir + "/lib" + std::to_string(i % 2);
    if (api::downloadBlock(token, id, dest) != 0) return fail("downloadBlock");
    unlink(dest.c_str());
  }
  const double libSeconds = seconds() - libStart;

  // curl: the same requests, one new connection per block as the library
  // makes, in one curl process (no per-block process start).
  const std::string config = dir + "/curl.cfg";
  {
    std::ofstream cfg(config);
    for (int i = 0; i < count; ++i) {
      if (i > 0) cfg << "next\n";
      const std::string url = tarvik::buildServiceUrl("downloadBlock");
      std::string encodedId;
      for (char c : id) encodedId += c == '#' ? std::string("%23") : std::string(1, c);
      cfg << "url = \"" << url << "\"\n"
          << "data = \"token=" << token << "&blockId=" << encodedId << "\"\n"
          << "output = \"" << dir << "/curl" << (i % 2) << "\"\n"
          << "header = \"Connection: close\"\n"
          << "cacert = \"" << service->caFile() << "\"\n"
          << "silent\nfail\n";
    }
  }
  const double curlStart = seconds();
  const int rc = std::system(("curl -K " + config).c_str());
  const double curlSeconds = seconds() - curlStart;
  if (rc != 0) return fail("curl failed");
  if (tarvik::blockIdOfFile(dir + "/curl0") != id) return fail("curl fetched other bytes");

  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  const double mib = static_cast<double>(count) * kBlockSize / (1024.0 * 1024.0);
  const double libRate = mib / libSeconds;
  const double curlRate = mib / curlSeconds;
  std::printf("blocks: %d x 8 MiB\n", count);
  std::printf("downloadBlock: %.3f s, %.1f MiB/s\n", libSeconds, libRate);
  std::printf("curl:          %.3f s, %.1f MiB/s\n", curlSeconds, curlRate);
  std::printf("ratio (library / curl): %.2f\n", libRate / curlRate);
  std::printf("peak resident memory of the library process: %.1f MiB\n",
              usage.ru_maxrss / 1024.0);

  api::logout();
  service.reset();
  tarvik::removeRecursive(dir);
  return 0;
}
