// The least work any parser of a file must do: read it into one buffer, check that it
// is UTF-8 and find its lines. Times itself so that process start-up is not counted.
//
//   native_floor FILE [REPS]   prints: lines=N valid=0|1 median_ns=T times_ns=T1,T2,...

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Strict UTF-8 (no overlongs, surrogates or code points above U+10FFFF), with a
// 16-byte ASCII fast path since outputs are almost all ASCII.
bool valid_utf8(const unsigned char* s, size_t n) {
    size_t i = 0;
    while (i < n) {
        while (i + 16 <= n) {
            uint64_t a, b;
            std::memcpy(&a, s + i, 8);
            std::memcpy(&b, s + i + 8, 8);
            if ((a | b) & 0x8080808080808080ULL) break;
            i += 16;
        }
        if (i >= n) break;
        unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        auto cont = [&](size_t k) { return i + k < n && (s[i + k] & 0xC0) == 0x80; };
        if (c >= 0xC2 && c <= 0xDF) {
            if (!cont(1)) return false;
            i += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            if (!cont(1) || !cont(2)) return false;
            unsigned char c1 = s[i + 1];
            if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F)) return false;
            i += 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            if (!cont(1) || !cont(2) || !cont(3)) return false;
            unsigned char c1 = s[i + 1];
            if ((c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 > 0x8F)) return false;
            i += 4;
        } else {
            return false;
        }
    }
    return true;
}

size_t count_lines(const char* s, size_t n) {
    size_t lines = 0;
    const char* end = s + n;
    while (const char* nl = static_cast<const char*>(std::memchr(s, '\n', end - s))) {
        ++lines;
        s = nl + 1;
    }
    return lines + (s != end);  // a final line without "\n"
}

[[noreturn]] void die(const char* what, const char* path) {
    std::fprintf(stderr, "native_floor: %s %s: %s\n", what, path, std::strerror(errno));
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: native_floor FILE [REPS]\n");
        return 2;
    }
    const char* path = argv[1];
    int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    std::vector<long long> times;
    size_t lines = 0;
    bool valid = true;
    for (int rep = 0; rep < reps; ++rep) {
        auto t0 = std::chrono::steady_clock::now();
        int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) die("cannot open", path);
        struct stat st;
        if (::fstat(fd, &st) != 0) die("cannot stat", path);
        size_t size = static_cast<size_t>(st.st_size);
        // A fresh buffer each time, as a parser gets one per call (page faults included).
        char* buf = static_cast<char*>(std::malloc(size + 1));
        if (!buf) die("out of memory for", path);
        size_t got = 0;
        while (got < size) {
            ssize_t k = ::read(fd, buf + got, size - got);
            if (k < 0 && errno == EINTR) continue;
            if (k < 0) die("cannot read", path);
            if (k == 0) break;
            got += static_cast<size_t>(k);
        }
        ::close(fd);
        valid = valid_utf8(reinterpret_cast<const unsigned char*>(buf), got);
        lines = count_lines(buf, got);
        std::free(buf);
        auto t1 = std::chrono::steady_clock::now();
        times.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count());
    }
    std::vector<long long> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    long long median = sorted.size() % 2 ? sorted[sorted.size() / 2]
                                         : (sorted[sorted.size() / 2 - 1] + sorted[sorted.size() / 2]) / 2;
    std::printf("lines=%zu valid=%d median_ns=%lld times_ns=", lines, valid ? 1 : 0, median);
    for (size_t i = 0; i < times.size(); ++i) std::printf(i ? ",%lld" : "%lld", times[i]);
    std::printf("\n");
    return 0;
}
