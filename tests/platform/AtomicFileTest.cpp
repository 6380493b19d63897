// Replacing a file without syncing it: still all or nothing for every reader,
// and for a writer killed at any moment.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/Json.h"
#include "platform/file/AtomicFile.h"
#include "tests/support/ScratchDirectory.h"
#include "tests/support/SpawnedTestProcess.h"

namespace {

using namespace tamsel::platform;
using tamsel::testing::readText;
using tamsel::testing::ScratchDirectory;

// Sizes from one byte to 256 KiB, so that most writes span many pages.
std::size_t padFor(std::uint64_t n) { return (n * 7919) % (256 * 1024) + 1; }

std::string document(std::uint64_t n) { return Json{{"n", n}, {"pad", std::string(padFor(n), 'x')}}.dump(); }

}  // namespace

// In a child process: replaces the file without a sync until it is killed.
TAMSEL_TEST_PROCESS_ROLE(replace_without_sync) {
    const char* path = std::getenv("TAMSEL_TEST_REPLACED_FILE");
    if (!path) return 2;
    for (std::uint64_t n = 0;; ++n) {
        replaceAtomically(path, document(n), Durability::none);
        if (n == 0) {
            std::puts("ready");
            std::fflush(stdout);
        }
    }
}

namespace {

TEST(AtomicFile, AReplacementWithoutSyncIsWholeForEveryReaderAndAfterTheWriterIsKilled) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ScratchDirectory root;
        const auto path = root.path() / "store.json";
        tamsel::testing::SpawnedTestProcess writer("replace_without_sync",
                                                   {{"TAMSEL_TEST_REPLACED_FILE", path.string()}});
        ASSERT_EQ(writer.readLine(), "ready");
        // The number of the document read, after checking that it is whole.
        auto whole = [&] {
            Json read = Json::parse(readText(path));
            const auto n = read.at("n").get<std::uint64_t>();
            EXPECT_EQ(read.at("pad").get<std::string>().size(), padFor(n)) << "document " << n;
            return n;
        };
        std::uint64_t last = 0;
        int reads = 0;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100 + 60 * round);
        while (std::chrono::steady_clock::now() < until) {
            const auto n = whole();
            EXPECT_GE(n, last);
            last = n;
            ++reads;
        }
        writer.signal(SIGKILL);
        EXPECT_EQ(writer.wait(), -1);
        EXPECT_GE(whole(), last);
        EXPECT_GT(reads, 0);
        EXPECT_GT(last, 0u) << "the writer made no progress while being read";
        // What a killed write leaves is its own hidden temporary file, nothing else.
        for (const auto& entry : std::filesystem::directory_iterator(root.path())) {
            const std::string name = entry.path().filename();
            EXPECT_TRUE(name == "store.json" || (name.rfind(".store.json.", 0) == 0 && name.size() == 18))
                << name;
        }
    }
}

}  // namespace
