// Fixture for the content tests: the fake service installed, a fresh block
// cache, the cloud side initialised (pools running), and helpers that open
// handles the way cloud_open would after its name half.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cache/block_reader.h"
#include "cache/block_writer.h"
#include "cache/file_context.h"
#include "cache/worker_pools.h"
#include "fake_content_service.h"
#include "tarvik.h"

namespace tarvik_test {

using namespace tarvik;

inline FakeContentService& fake() { return FakeContentService::instance(); }

// Deterministic content: byte k of a pattern seeded by `seed`.
inline std::string pattern(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t k = 0; k < size; ++k) {
    x = x * 1103515245u + 12345u;
    s[k] = static_cast<char>(x >> 24);
  }
  return s;
}

inline size_t filesIn(const std::string& dir) {
  size_t n = 0;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") ++n;
    }
    ::closedir(d);
  }
  return n;
}

inline std::string readWholeFile(const std::string& path) {
  std::string out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return out;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  std::fclose(f);
  return out;
}

// Waits up to `ms` for `pred`.
template <class Pred>
bool eventually(Pred pred, int ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}

class ContentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    initTestTree();
    fake().reset();
    fake().install();
    ASSERT_EQ(0, tarvik_clearCache());
    state().userId = "u";
    state().language = "en";
    state().sessionFromCaller = false;
    ASSERT_EQ(0, contentInit(0, 0));
  }
  void TearDown() override {
    for (auto& h : handles_) closeHandle(h.get());
    handles_.clear();
    cloud_exit(0);
    setContentServiceForTesting(nullptr);
  }

  // An existing file on the fake service with `content`, opened with `flags`.
  DecasHandle* openExisting(const std::string& name, const std::string& content,
                            OpenFlags flags) {
    return openIds(name, fake().putFile(content), static_cast<int64_t>(content.size()), flags);
  }

  DecasHandle* openIds(const std::string& name, const std::vector<std::string>& ids, int64_t size,
                       OpenFlags flags) {
    std::string list;
    for (const auto& id : ids) list += (list.empty() ? "\"" : ",\"") + id + "\"";
    JsonPtr pretest = json::parse("{\"token\":\"dl\",\"blockIds\":[" + list + "]}");
    auto h = std::make_unique<DecasHandle>();
    h->setPath("/Home/" + name);
    h->openFlags = flags;
    StatRecord record{ENTRY_FILE, size, -1, 1000, 1000};
    const std::string token = uploadTokenFor(name);
    EXPECT_EQ(0, contentOpen("/u/" + name, h.get(), record, false, pretest,
                             (flags & OPEN_WRITE) ? token : "", false));
    handles_.push_back(std::move(h));
    return handles_.back().get();
  }

  DecasHandle* openNew(const std::string& name, OpenFlags flags) {
    auto h = std::make_unique<DecasHandle>();
    h->setPath("/Home/" + name);
    h->openFlags = flags | OPEN_CREATE;
    StatRecord record{ENTRY_FILE, 0, -1, 1000, 1000};
    EXPECT_EQ(0, contentOpen("/u/" + name, h.get(), record, true, nullptr, uploadTokenFor(name),
                             false));
    handles_.push_back(std::move(h));
    return handles_.back().get();
  }

  std::string uploadTokenFor(const std::string& name) { return "up:" + name; }

  void closeHandle(DecasHandle* h) {
    if (!h->fileContext) return;
    FileContextPtr fc = h->fileContext;
    bool last = true;
    contentClose(h, &last);
    h->fileContext.reset();
    if (!last) return;
    fc->closed = true;
    finalizeFileContext(fc);
  }

  std::string readAll(DecasHandle* h, int64_t size) {
    std::string out(static_cast<size_t>(size), '\0');
    const int n = cloud_read(h->path().c_str(), &out[0], out.size(), 0, true, h);
    EXPECT_EQ(size, n);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
  }

  int64_t fstatSize(DecasHandle* h) {
    StatRecord st{};
    EXPECT_EQ(0, contentFstat(h->path().c_str(), &st, h));
    return st.size;
  }

  std::vector<std::unique_ptr<DecasHandle>> handles_;
};

}  // namespace tarvik_test
