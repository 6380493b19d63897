#pragma once
// Seeds a delivery service from a scenario file, as if the admin calls had been
// made one after another:
//   {"receivers": [{"receiverId"?, "refreshProof"?, "authorizationRevision"?,
//                   "credentialLifetimeSeconds"?, "changes"?: [records],
//                   "generate"?: {...}, "badge"?: {...}}],
//    "stall"?: {"milliseconds", "route"?}}
#include <filesystem>

#include "tools/delivery-service/DeliveryServer.h"

namespace tamsel::delivery {

// Returns the credentials of the receivers it registered, in file order. Throws
// std::runtime_error (naming the file and what is wrong) for a bad scenario.
Json seedScenario(DeliveryServer& server, const std::filesystem::path& file);

}  // namespace tamsel::delivery
