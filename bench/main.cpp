// tamsel_bench: the in-process benchmarks (Google Benchmark's flags apply), or
//   tamsel_bench --measure FILE [--sample-memory] [--first-line] -- COMMAND [ARGS...]
// which runs COMMAND as a child and writes one JSON line to FILE: its exit
// status, wall time, CPU time and peak resident memory (getrusage), and with
// --sample-memory the peak of its anonymous memory (RssAnon, read from /proc
// every millisecond by a second thread; -1 without). With --first-line the
// child's standard output passes through a pipe, and the time its first line
// came out is written too (first_line_s; -1 without one): what a host hands
// back is such a line. The child is forked from this small process, so its
// peak is its own: a child started straight from a large parent (vfork and
// exec) inherits the parent's peak. Or
//   tamsel_bench --rewrite FILE COUNT
// which times COUNT durable rewrites (write, fsync, rename, fsync of the
// directory) of FILE's bytes into a file beside it, and prints them as JSON.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "bench/BenchSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

long statusKib(pid_t pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::size_t length = std::strlen(field);
    while (std::getline(status, line))
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':')
            return std::stol(line.substr(length + 1));
    return -1;
}

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

int measure(const char* out, bool sampleMemory, bool firstLine, char** command) {
    int pipe[2] = {-1, -1};
    if (firstLine && ::pipe2(pipe, O_CLOEXEC) != 0) return 2;
    const auto start = Clock::now();
    pid_t child = fork();
    if (child < 0) return 2;
    if (child == 0) {
        if (firstLine && ::dup2(pipe[1], STDOUT_FILENO) < 0) _exit(127);
        execvp(command[0], command);
        std::perror(command[0]);
        _exit(127);
    }
    std::atomic<bool> done{false};
    std::atomic<long> peakAnon{-1};
    std::thread sampler;
    if (sampleMemory)
        sampler = std::thread([&] {
            while (!done) {
                peakAnon = std::max(peakAnon.load(), statusKib(child, "RssAnon"));
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    // Reads the child's output as it comes, passes it on, and notes when the
    // first line was complete; it ends when the child and whatever inherited
    // its output have closed it.
    double firstLineSeconds = -1;
    std::thread reader;
    if (firstLine) {
        ::close(pipe[1]);
        reader = std::thread([&, fd = pipe[0]] {
            char buffer[4096];
            for (;;) {
                ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                if (firstLineSeconds < 0 && std::memchr(buffer, '\n', static_cast<std::size_t>(n)))
                    firstLineSeconds = std::chrono::duration<double>(Clock::now() - start).count();
                writeAll(STDOUT_FILENO, buffer, static_cast<std::size_t>(n));
            }
            ::close(fd);
        });
    }
    int status = 0;
    rusage usage{};
    pid_t waited;
    do {
        waited = wait4(child, &status, 0, &usage);
    } while (waited < 0 && errno == EINTR);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    done = true;
    if (sampler.joinable()) sampler.join();
    if (reader.joinable()) reader.join();
    if (waited != child) return 2;
    std::FILE* file = std::fopen(out, "w");
    if (!file) return 2;
    std::fprintf(
        file,
        "{\"exit\": %d, \"signal\": %d, \"wall_s\": %.6f, \"first_line_s\": %.6f, \"maxrss_kib\": %ld, "
        "\"peak_anon_kib\": %ld, \"user_s\": %.6f, \"sys_s\": %.6f}\n",
        WIFEXITED(status) ? WEXITSTATUS(status) : -1, WIFSIGNALED(status) ? WTERMSIG(status) : 0, wall,
        firstLineSeconds, usage.ru_maxrss, peakAnon.load(),
        usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6,
        usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6);
    return std::fclose(file) == 0 ? 0 : 2;
}

int rewrite(const std::filesystem::path& file, int count) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (!in) {
        std::fprintf(stderr, "tamsel_bench: cannot read %s\n", file.c_str());
        return 2;
    }
    // Beside the file, so that the rewrite sees the same directory and disk.
    auto probe = file;
    probe += ".rewrite-probe";
    std::string times;
    try {
        for (int i = 0; i < count; ++i) {
            auto begin = Clock::now();
            tamsel::bench::atomicRewrite(probe, bytes.str(), true);
            times +=
                (i ? ", " : "") + std::to_string(std::chrono::duration<double>(Clock::now() - begin).count());
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tamsel_bench: rewrite failed: %s\n", e.what());
        std::filesystem::remove(probe);
        return 2;
    }
    std::filesystem::remove(probe);
    std::printf("{\"bytes\": %zu, \"rewrite_s\": [%s]}\n", bytes.str().size(), times.c_str());
    return 0;
}

int usage() {
    std::fputs(
        "usage: tamsel_bench --measure FILE [--sample-memory] [--first-line] -- COMMAND [ARGS...]\n"
        "       tamsel_bench --rewrite FILE COUNT\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--measure") == 0) {
        bool sample = false, firstLine = false;
        int i = 3;
        for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
            if (std::strcmp(argv[i], "--sample-memory") == 0)
                sample = true;
            else if (std::strcmp(argv[i], "--first-line") == 0)
                firstLine = true;
            else
                return usage();
        }
        if (i + 1 >= argc) return usage();
        return measure(argv[2], sample, firstLine, argv + i + 1);
    }
    if (argc == 4 && std::strcmp(argv[1], "--rewrite") == 0) {
        int count = std::atoi(argv[3]);
        if (count < 1) return usage();
        return rewrite(argv[2], count);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
