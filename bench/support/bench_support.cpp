#include "bench_support.h"

#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

double benchTcpSeconds(uint64_t size, int streams, size_t block)
{
  int lfd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(lfd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(lfd, reinterpret_cast<sockaddr *>(&a), &len);
  listen(lfd, 64);
  uint64_t share = size / uint64_t(streams);
  auto t0 = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < streams; ++i) {
    threads.emplace_back([&] {
      int fd = socket(AF_INET, SOCK_STREAM, 0);
      connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
      std::vector<char> buf(block, 'x');
      for (uint64_t sent = 0; sent < share;) {
        ssize_t n = send(fd, buf.data(), std::min<uint64_t>(block, share - sent), 0);
        if (n <= 0)
          break;
        sent += uint64_t(n);
      }
      close(fd);
    });
    threads.emplace_back([&] {
      int fd = accept(lfd, nullptr, nullptr);
      std::vector<char> buf(block);
      while (recv(fd, buf.data(), buf.size(), 0) > 0) {
      }
      close(fd);
    });
  }
  for (std::thread &t : threads)
    t.join();
  close(lfd);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double benchMedian(std::vector<double> v)
{
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double benchOwnRate(const std::string &out)
{
  size_t at = out.find(" bytes, ");
  return at == std::string::npos ? 0 : strtod(out.c_str() + at + 8, nullptr) / 1000.0;
}

std::vector<std::string> benchWrapped(const char *path)
{
  std::vector<std::string> argv;
  if (const char *wrap = getenv("OZU_BENCH_WRAP")) {
    std::istringstream words(wrap);
    for (std::string w; words >> w;)
      argv.push_back(w);
  }
  argv.push_back(path);
  return argv;
}
