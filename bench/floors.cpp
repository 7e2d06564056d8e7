// The floors the ledger is measured against: the least work that each
// operation must do on this machine.
//
//   floors commit PATH COUNT   open (append, create), write one ~345-byte line, close; COUNT times
//   floors commit-checked PATH COUNT
//                              the same, asking the opened file's type (statx) before the write,
//                              as an append that takes regular files only must
//   floors verify PATH         read the file, SHA-256 each line's bytes with one reused context
//   floors reopen PATH         read the file and find every line end
//
// Prints the elapsed seconds of the work alone.
#include <fcntl.h>
#include <sys/stat.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr std::size_t kBufferSize = 8192;

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int commit_floor(const char* path, long count, bool checked) {
  std::string line =
      R"({"index":123456,"timestamp":"2026-12-10T02:35:01.123456700+00:00","prev_hash":")"
      "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"
      R"(","actor":"benchmark","delta_i":1234.5678,"payload":"a payload of some sixty characters, like most that users write",)"
      R"("signature":"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"})";
  line.push_back('\n');
  const double start = now();
  for (long i = 0; i < count; ++i) {
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return 1;
    struct statx type;
    if (checked && (statx(fd, "", AT_EMPTY_PATH, STATX_TYPE, &type) != 0 || !S_ISREG(type.stx_mode))) return 1;
    if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return 1;
    close(fd);
  }
  std::printf("%.9f %zu\n", now() - start, line.size());
  return 0;
}

int scan_floor(const char* path, bool hash) {
  char* buffer = static_cast<char*>(::operator new[](kBufferSize, std::align_val_t{4096}));
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  std::string carry;  // part of a line cut by the end of the buffer
  long lines = 0;
  const double start = now();
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 1;
  for (;;) {
    const ssize_t n = read(fd, buffer, kBufferSize);
    if (n < 0) return 1;
    if (n == 0) break;
    const char* p = buffer;
    const char* end = buffer + n;
    while (p < end) {
      const char* newline = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
      if (newline == nullptr) {
        if (hash) carry.append(p, end);
        break;
      }
      ++lines;
      if (hash) {
        EVP_DigestInit_ex2(ctx, md, nullptr);
        if (!carry.empty()) {
          EVP_DigestUpdate(ctx, carry.data(), carry.size());
          carry.clear();
        }
        EVP_DigestUpdate(ctx, p, static_cast<std::size_t>(newline - p));
        EVP_DigestFinal_ex(ctx, digest, &digest_length);
      }
      p = newline + 1;
    }
  }
  close(fd);
  std::printf("%.9f %ld\n", now() - start, lines);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "commit") == 0) return commit_floor(argv[2], std::atol(argv[3]), false);
  if (argc >= 4 && std::strcmp(argv[1], "commit-checked") == 0) {
    return commit_floor(argv[2], std::atol(argv[3]), true);
  }
  if (argc >= 3 && std::strcmp(argv[1], "verify") == 0) return scan_floor(argv[2], true);
  if (argc >= 3 && std::strcmp(argv[1], "reopen") == 0) return scan_floor(argv[2], false);
  std::fprintf(stderr, "usage: %s commit PATH COUNT | commit-checked PATH COUNT | verify PATH | reopen PATH\n", argv[0]);
  return 2;
}
