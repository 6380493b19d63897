// tamsel_bench: the in-process benchmarks (Google Benchmark's flags apply), or
//   tamsel_bench --measure FILE [--sample-memory] -- COMMAND [ARGS...]
// which runs COMMAND as a child and writes one JSON line to FILE: its exit
// status, wall time, CPU time and peak resident memory (getrusage), and with
// --sample-memory the peak of its anonymous memory (RssAnon, read from /proc
// every millisecond by a second thread; -1 without). The child is
// forked from this small process, so its peak is its own: a child started
// straight from a large parent (vfork and exec) inherits the parent's peak.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

namespace {

long statusKib(pid_t pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::size_t length = std::strlen(field);
    while (std::getline(status, line))
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':')
            return std::stol(line.substr(length + 1));
    return -1;
}

int measure(const char* out, bool sampleMemory, char** command) {
    const auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child < 0) return 2;
    if (child == 0) {
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
    int status = 0;
    rusage usage{};
    pid_t waited;
    do {
        waited = wait4(child, &status, 0, &usage);
    } while (waited < 0 && errno == EINTR);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    done = true;
    if (sampler.joinable()) sampler.join();
    if (waited != child) return 2;
    std::FILE* file = std::fopen(out, "w");
    if (!file) return 2;
    std::fprintf(
        file,
        "{\"exit\": %d, \"signal\": %d, \"wall_s\": %.6f, \"maxrss_kib\": %ld, \"peak_anon_kib\": %ld, "
        "\"user_s\": %.6f, \"sys_s\": %.6f}\n",
        WIFEXITED(status) ? WEXITSTATUS(status) : -1, WIFSIGNALED(status) ? WTERMSIG(status) : 0, wall,
        usage.ru_maxrss, peakAnon.load(), usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6,
        usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6);
    return std::fclose(file) == 0 ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--measure") == 0) {
        const bool sample = argc >= 4 && std::strcmp(argv[3], "--sample-memory") == 0;
        const int separator = sample ? 4 : 3;
        if (argc < separator + 2 || std::strcmp(argv[separator], "--") != 0) {
            std::fputs("usage: tamsel_bench --measure FILE [--sample-memory] -- COMMAND [ARGS...]\n", stderr);
            return 2;
        }
        return measure(argv[2], sample, argv + separator + 1);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
