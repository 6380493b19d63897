#pragma once
// The delivery service on the wire: an HTTPS server (loopback only) that maps
// the four exchanges below "/api/v2/notification-receivers/<receiverId>/" and
// the admin interface below "/admin/" onto a DeliveryState.
//
// Every answer, errors and unknown paths included, carries
// "Cache-Control: no-store" and a JSON body. Admin calls need
// "Authorization: Bearer <admin token>".
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "tools/delivery-service/Certificates.h"
#include "tools/delivery-service/DeliveryState.h"
#include "tools/delivery-service/WebPushSender.h"

namespace httplib {
class SSLServer;
class Request;
class Response;
}  // namespace httplib

namespace tamsel::delivery {

class DeliveryServer {
  public:
    DeliveryServer(const CertificateFiles& certificates, std::string adminToken, Settings settings);
    ~DeliveryServer();

    DeliveryState& state() { return state_; }

    // Binds 127.0.0.1:port (0 picks a free port) and returns the port; throws
    // std::runtime_error when the port cannot be had.
    int bind(int port);
    // Serves until stop(); returns false when serving failed.
    bool listen();
    // May be called from any thread, also from inside a handler or after listen() returned.
    void stop();

    // Delays sending every protocol answer (of one exchange, or of all when
    // route is empty) by `milliseconds` after it was worked out, as a slow
    // network would. 0 turns it off.
    void setStall(long milliseconds, std::string route, long gather = 0);
    // Serves body with the given status at GET /replay/<name>.
    void setReplay(const std::string& name, int status, std::string body);

    void setVerbose(bool verbose) { verbose_ = verbose; }

    // The VAPID public key wake-ups are signed with (base64url), made at start.
    std::string vapidPublicKey() const { return sender_->publicKey(); }

  private:
    void routes();
    void stall(const std::string& route);
    bool admitted(const httplib::Request& request, httplib::Response& response) const;
    void admin(const httplib::Request& request, httplib::Response& response,
               const std::function<Json(const Json& body)>& operation);

    std::unique_ptr<httplib::SSLServer> server_;
    DeliveryState state_;
    std::string adminToken_;
    bool verbose_ = false;
    // After state_: it records into the state from its own thread, so it must stop first.
    std::unique_ptr<WebPushSender> sender_;

    std::mutex mutex_;  // guards the stall, the replays and `stopping_`
    std::condition_variable stopped_;
    long stallMilliseconds_ = 0;
    std::string stallRoute_;
    // With a stall: answers wait until this many requests on the route have
    // arrived (at most the stall's time), then all go out together.
    long stallGather_ = 0;
    long stallArrived_ = 0;
    bool stopping_ = false;
    std::map<std::string, std::pair<int, std::string>> replays_;
};

}  // namespace tamsel::delivery
