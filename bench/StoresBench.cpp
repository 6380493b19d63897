// The host's file-backed notification centre and interaction store, one
// operation at a time, holding as much as the argument says: the centre one
// notification for each of that many conversations (a page of the presentation
// benchmark posts to one, a long run to 20), the interaction store that many
// donations (a page: up to 50; a long run fills it to 256). Wall time: what a
// change waits for.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "platform/Clock.h"
#include "platform/file/FileInteractionStore.h"
#include "platform/file/FileNotificationCenter.h"
#include "tests/support/ScratchDirectory.h"

namespace {

using namespace tamsel;

const std::string kReceiver = "rcv_BenchmarkReceiver00001";

// Shaped like what the presenter posts for a change with a sender.
platform::NotificationRequest request(int conversation, std::size_t index) {
    const std::string group = std::string(62, 'a') + std::to_string(10 + conversation);
    const std::string notification = "ntf_BenchmarkNotification" + std::to_string(index);
    platform::NotificationContent content;
    content.title = "Benchmark Sender";
    content.body = std::string(40, 'x');
    content.threadIdentifier = kReceiver + ":" + group;
    content.badge = 2;
    content.userInfo = platform::Json{{"tamselReceiverId", kReceiver},
                                      {"tamselNotificationId", notification},
                                      {"tamselNotificationRevision", "1"},
                                      {"tamselGroupKey", group},
                                      {"tamselTarget",
                                       {{"kind", "communication"},
                                        {"communicationId", "com_BenchmarkCommunication01"},
                                        {"channelThreadId", "thr_BenchmarkThread00000001"}}}};
    content.communication = platform::Json{{"senderIdentifier", "tamsel_sender_" + std::string(64, 'b')},
                                           {"senderDisplayName", "Benchmark Sender"},
                                           {"conversationIdentifier", *content.threadIdentifier},
                                           {"serviceName", "Tamsel"}};
    return {"tamsel:v2:" + kReceiver + ":" + group,
            std::make_shared<const platform::NotificationContent>(content)};
}

// Shaped like what the presenter donates.
platform::Interaction interaction(std::size_t index) {
    platform::Person sender;
    sender.personHandle = {"tamsel_sender_" + std::string(64, 'b'), platform::PersonHandleType::unknown};
    sender.displayName = "Benchmark Sender";
    sender.customIdentifier = sender.personHandle.value;
    platform::Interaction interaction;
    interaction.intent.outgoingMessageType = platform::OutgoingMessageType::text;
    interaction.intent.content = std::string(40, 'x');
    interaction.intent.conversationIdentifier = kReceiver + ":" + std::string(64, 'a');
    interaction.intent.serviceName = "Tamsel";
    interaction.intent.sender = sender;
    interaction.direction = platform::InteractionDirection::incoming;
    interaction.identifier =
        "tamsel.notification-delivery." + kReceiver + ":ntf_BenchmarkNotification" + std::to_string(index);
    interaction.groupIdentifier = "tamsel.notification-delivery." + kReceiver;
    return interaction;
}

void BM_FileCenterAdd(benchmark::State& state) {
    const auto conversations = static_cast<std::size_t>(state.range(0));
    tamsel::testing::ScratchDirectory scratch;
    platform::FileNotificationCenter center(scratch.path() / "notification-center.json",
                                            std::make_shared<platform::SystemClock>());
    std::size_t index = 0;
    for (; index < conversations; ++index) center.add(request(static_cast<int>(index), index));
    for (auto _ : state) {
        center.add(request(static_cast<int>(index % conversations), index));
        ++index;
    }
}

void BM_FileInteractionDonate(benchmark::State& state) {
    const auto kept = static_cast<std::size_t>(state.range(0));
    tamsel::testing::ScratchDirectory scratch;
    platform::FileInteractionStore store(scratch.path() / "interactions.json", kept);
    std::size_t index = 0;
    for (; index < kept; ++index) store.donate(interaction(index));
    for (auto _ : state) store.donate(interaction(index++));
}

}  // namespace

BENCHMARK(BM_FileCenterAdd)->Arg(1)->Arg(20)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FileInteractionDonate)->Arg(25)->Arg(256)->UseRealTime()->Unit(benchmark::kMicrosecond);
