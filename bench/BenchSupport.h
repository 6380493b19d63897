#pragma once
// What the in-process benchmarks share: records shaped like the reference
// service's generated ones, a ledger of a given size, and a scratch directory on
// the file system under test (TMPDIR, or TAMSEL_BENCH_DIR when set).
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Json.h"

namespace tamsel::bench {

// A change record as the service sends it: "available", with a sender, a body
// of 40 scalars, a communication target. `index` makes the ids distinct.
platform::Json changeRecord(std::size_t index, const std::string& groupKey);

// An identifier of the service's shape ("<prefix>" + 22 URL-safe characters),
// distinct for every index, the same for the same index and seed.
std::string identifier(const std::string& prefix, std::size_t index, unsigned seed);

// The bytes of a ledger with `entries` entries of one receiver (plus the badge),
// as the presenter writes it.
std::string ledgerBytes(const std::string& receiver, std::size_t entries);

// write, fsync, rename: one atomic rewrite; with `syncDirectory` also the
// directory's fsync that makes the rename itself durable.
void atomicRewrite(const std::filesystem::path& file, const std::string& bytes, bool syncDirectory);

}  // namespace tamsel::bench
