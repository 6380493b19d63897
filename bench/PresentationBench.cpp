// The presenter applying one page of 50 changes against ledgers of 100 to
// 100,000 entries, beside the limit it cannot beat: one atomic rewrite of a file
// of the ledger's size, measured around each page. Wall time, since most of it
// is waiting for the disk.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "Services/NotificationDeliveryPresenter.h"
#include "Services/NotificationDeliveryWorker.h"
#include "Services/NotificationRevisionLedger.h"
#include "bench/BenchSupport.h"
#include "platform/file/FileInteractionStore.h"
#include "platform/file/FileNotificationCenter.h"
#include "platform/file/PosixFileSystem.h"
#include "platform/testing/MemoryInteractionStore.h"
#include "platform/testing/MemoryNotificationCenter.h"
#include "tests/support/ScratchDirectory.h"

namespace {

using namespace tamsel;
using TamselNotificationService::NotificationDeliveryChange;
using TamselNotificationService::NotificationDeliveryPresenter;
using TamselNotificationService::NotificationDeliveryWorker;

constexpr std::size_t kPage = 50;
const std::string kReceiver = "rcv_BenchmarkReceiver00001";
const std::string kGroup(64, 'a');

std::vector<NotificationDeliveryChange> page() {
    std::vector<NotificationDeliveryChange> changes;
    // Ids the ledgers below never hold: every change is presented.
    for (std::size_t i = 0; i < kPage; ++i)
        changes.push_back(NotificationDeliveryWorker::change(bench::changeRecord(1'000'000 + i, kGroup)));
    return changes;
}

// Which notification centre and interaction store the presenter talks to: the
// in-memory ones stand for the platform's own services (whose cost is not
// ours); the file-backed ones are what the Linux host uses.
enum class Backends { memory, files };

// The limit, measured beside each page so that both see the same disk (which
// others share): write, fsync, rename of a file as large as the ledger, and
// the same with the directory's fsync that makes the rename itself durable, as
// the ledger's own rewrite does.
void measureLimit(const std::filesystem::path& file, const std::string& bytes, std::vector<double>& plain,
                  std::vector<double>& durable) {
    using Clock = std::chrono::steady_clock;
    for (int i = 0; i < 3; ++i) {
        auto start = Clock::now();
        bench::atomicRewrite(file, bytes, false);
        auto middle = Clock::now();
        bench::atomicRewrite(file, bytes, true);
        plain.push_back(std::chrono::duration<double>(middle - start).count());
        durable.push_back(std::chrono::duration<double>(Clock::now() - middle).count());
    }
}

// Medians: the disk's latency has a long tail when others use it too.
double median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    return n == 0 ? 0 : n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

void applyPage(benchmark::State& state, Backends backends) {
    const auto entries = static_cast<std::size_t>(state.range(0));
    tamsel::testing::ScratchDirectory scratch;  // under $TMPDIR
    auto files = std::make_shared<platform::PosixFileSystem>(scratch.path());
    platform::Platform platform;
    platform.bundle = std::make_shared<platform::MemoryBundle>(platform::PropertyDictionary{},
                                                               "com.brindaxel.tamsel.NotificationService");
    platform.clock = std::make_shared<platform::SystemClock>();
    platform.files = files;
    const auto changes = page();
    const std::string pristine = bench::ledgerBytes(kReceiver, entries);
    const auto limitFile = scratch.path() / "limit.json";
    std::vector<double> pages, plain, durable;

    for (auto _ : state) {
        state.PauseTiming();
        if (backends == Backends::memory) {
            platform.center = std::make_shared<platform::testing::MemoryNotificationCenter>();
            platform.interactions = std::make_shared<platform::testing::MemoryInteractionStore>();
        } else {
            std::filesystem::remove(scratch.path() / "notification-center.json");
            std::filesystem::remove(scratch.path() / "interactions.json");
            platform.center = std::make_shared<platform::FileNotificationCenter>(
                scratch.path() / "notification-center.json", platform.clock);
            platform.interactions =
                std::make_shared<platform::FileInteractionStore>(scratch.path() / "interactions.json");
        }
        NotificationDeliveryPresenter presenter(nullptr, platform);
        // A durable fresh ledger, so that no earlier dirty page is flushed on the clock.
        bench::atomicRewrite(presenter.ledgerURL(), pristine, true);
        measureLimit(limitFile, pristine, plain, durable);
        state.ResumeTiming();

        const auto start = std::chrono::steady_clock::now();
        presenter.apply(kReceiver, changes);
        pages.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());

        state.PauseTiming();
        measureLimit(limitFile, pristine, plain, durable);
        state.ResumeTiming();
    }
    state.counters["ledger_bytes"] = static_cast<double>(pristine.size());
    state.counters["page_median_s"] = median(pages);
    state.counters["rewrite_median_s"] = median(plain);
    state.counters["durable_rewrite_median_s"] = median(durable);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kPage));
}

void BM_ApplyPage(benchmark::State& state) { applyPage(state, Backends::memory); }
void BM_ApplyPageFileBackends(benchmark::State& state) { applyPage(state, Backends::files); }

// The ledger's own encoding of a file of that size, with no disk at all.
void BM_LedgerEncode(benchmark::State& state) {
    using TamselNotificationService::NotificationRevisionLedger;
    const auto entries = NotificationRevisionLedger::decode(
        bench::ledgerBytes(kReceiver, static_cast<std::size_t>(state.range(0))));
    for (auto _ : state) benchmark::DoNotOptimize(NotificationRevisionLedger::encode(entries));
}

void BM_LedgerDecode(benchmark::State& state) {
    using TamselNotificationService::NotificationRevisionLedger;
    const std::string bytes = bench::ledgerBytes(kReceiver, static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(NotificationRevisionLedger::decode(bytes));
}

}  // namespace

// Iterations are fixed: an iteration of the larger sizes takes seconds, and the
// untimed setup of each one does not count towards a time budget.
BENCHMARK(BM_ApplyPage)->Arg(100)->Iterations(10)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplyPage)->Arg(1'000)->Iterations(10)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplyPage)->Arg(10'000)->Iterations(6)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplyPage)->Arg(100'000)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplyPageFileBackends)->Arg(10'000)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LedgerEncode)->Arg(10'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LedgerDecode)->Arg(10'000)->Unit(benchmark::kMillisecond);
