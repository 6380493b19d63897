// Validating change records, beside the limit it cannot beat: reading the same
// records with the JSON reader alone.
#include <benchmark/benchmark.h>

#include "Services/NotificationDeliveryWorker.h"
#include "bench/BenchSupport.h"

namespace {

using tamsel::platform::Json;
using TamselNotificationService::NotificationDeliveryWorker;

constexpr std::size_t kRecords = 50;

std::vector<std::string> recordTexts() {
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < kRecords; ++i)
        texts.push_back(tamsel::bench::changeRecord(i, std::string(64, 'b')).dump());
    return texts;
}

void BM_ParseRecord(benchmark::State& state) {
    const auto texts = recordTexts();
    for (auto _ : state)
        for (const auto& text : texts) benchmark::DoNotOptimize(tamsel::platform::parseJson(text));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kRecords));
}

void BM_ValidateRecord(benchmark::State& state) {
    std::vector<Json> records;
    for (const auto& text : recordTexts()) records.push_back(tamsel::platform::parseJson(text));
    for (auto _ : state)
        for (const auto& record : records)
            benchmark::DoNotOptimize(NotificationDeliveryWorker::change(record));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kRecords));
}

}  // namespace

BENCHMARK(BM_ParseRecord)->MinTime(1.0);
BENCHMARK(BM_ValidateRecord)->MinTime(1.0);
