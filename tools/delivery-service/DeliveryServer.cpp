#include "tools/delivery-service/DeliveryServer.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

namespace tamsel::delivery {
namespace {

constexpr const char* kReceiver = R"(/api/v2/notification-receivers/([^/]+))";

std::optional<std::string> header(const httplib::Request& request, const char* name) {
    if (!request.has_header(name)) return std::nullopt;
    return request.get_header_value(name);
}

std::optional<std::string> param(const httplib::Request& request, const char* name) {
    if (!request.has_param(name)) return std::nullopt;
    return request.get_param_value(name);
}

void send(httplib::Response& response, int status, const Json& body) {
    response.status = status;
    response.set_content(body.dump(), "application/json");
}

}  // namespace

DeliveryServer::DeliveryServer(const CertificateFiles& certificates, std::string adminToken,
                               Settings settings)
    : server_(std::make_unique<httplib::SSLServer>(certificates.serverCertificate.c_str(),
                                                   certificates.serverKey.c_str())),
      state_(settings),
      adminToken_(std::move(adminToken)),
      sender_(std::make_unique<WebPushSender>(settings.vapidSubject,
                                              [this](const std::string& receiverId, Json delivery) {
                                                  state_.recordPushDelivery(receiverId, std::move(delivery));
                                              })) {
    state_.setWakeUpSink([this](WakeUp wakeUp) { sender_->send(std::move(wakeUp)); });
    if (!server_->is_valid()) throw std::runtime_error("the server certificate or key cannot be loaded");
    // Without TCP_NODELAY every small answer waits ~40 ms for the client's delayed ACK.
    server_->set_tcp_nodelay(true);
    // A worker run reuses one connection for all of its requests.
    server_->set_keep_alive_max_count(100000);
    server_->set_keep_alive_timeout(30);
    server_->set_payload_max_length(64 * 1024 * 1024);
    server_->set_default_headers({{"Cache-Control", "no-store"}});
    server_->set_error_handler(
        httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& response) {
            // Refusals of the service carry their own body; this fills in the library's own.
            if (response.body.empty()) {
                send(response, response.status,
                     errorBody(response.status == 404 ? "not_found" : "request_refused"));
            }
            return httplib::Server::HandlerResponse::Handled;
        }));
    server_->set_exception_handler(
        [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
            send(response, 500, errorBody("internal_error"));
        });
    server_->set_pre_routing_handler([](const httplib::Request& request, httplib::Response&) {
        // A request without Content-Length or Transfer-Encoding has an empty body
        // (RFC 9112, 6.3), and the worker-session POST carries none; the library
        // would refuse such a POST with 400, so the empty body is made explicit.
        // The request object is the library's own, non-const, local.
        if (!request.has_header("Content-Length") && !request.has_header("Transfer-Encoding")) {
            const_cast<httplib::Request&>(request).headers.emplace("Content-Length", "0");
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server_->set_logger([this](const httplib::Request& request, const httplib::Response& response) {
        // The path only: a query may hold a cursor.
        if (verbose_)
            std::fprintf(stderr, "%s %s %d\n", request.method.c_str(), request.path.c_str(), response.status);
    });
    routes();
}

DeliveryServer::~DeliveryServer() { stop(); }

int DeliveryServer::bind(int port) {
    int bound = port;
    if (port == 0) {
        bound = server_->bind_to_any_port("127.0.0.1");
        if (bound < 0) throw std::runtime_error("no free port on 127.0.0.1");
    } else if (!server_->bind_to_port("127.0.0.1", port)) {
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
    }
    return bound;
}

bool DeliveryServer::listen() {
    // The library ignores a stop() that comes before its accept loop runs, and a
    // stop may well come that early (a signal right after the start line). So
    // stop requests only raise a flag, and this thread turns the flag into the
    // library's stop once the loop is running.
    std::atomic<bool> returned{false};
    std::thread stopper([&] {
        {
            std::unique_lock lock(mutex_);
            stopped_.wait(lock, [&] { return stopping_; });
        }
        while (!returned) {
            if (server_->is_running()) {
                server_->stop();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const bool served = server_->listen_after_bind();
    returned = true;
    stop();  // lets the stopper go when serving failed on its own
    stopper.join();
    return served;
}

void DeliveryServer::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stopped_.notify_all();
}

void DeliveryServer::setStall(long milliseconds, std::string route, long gather) {
    std::lock_guard lock(mutex_);
    stallMilliseconds_ = milliseconds;
    stallRoute_ = std::move(route);
    stallGather_ = gather;
    stallArrived_ = 0;
}

void DeliveryServer::setReplay(const std::string& name, int status, std::string body) {
    std::lock_guard lock(mutex_);
    replays_[name] = {status, std::move(body)};
}

void DeliveryServer::stall(const std::string& route) {
    std::unique_lock lock(mutex_);
    if (stallMilliseconds_ <= 0 || (!stallRoute_.empty() && stallRoute_ != route)) return;
    if (stallGather_ > 0) {
        // Once the gathering is complete, later requests pass at once.
        if (++stallArrived_ > stallGather_) return;
        stopped_.notify_all();
    }
    stopped_.wait_for(lock, std::chrono::milliseconds(stallMilliseconds_),
                      [&] { return stopping_ || (stallGather_ > 0 && stallArrived_ >= stallGather_); });
}

bool DeliveryServer::admitted(const httplib::Request& request, httplib::Response& response) const {
    auto authorization = header(request, "Authorization");
    if (authorization && authorization->rfind("Bearer ", 0) == 0 &&
        sameSecret(authorization->substr(7), adminToken_))
        return true;
    send(response, 401, errorBody("unauthorized"));
    return false;
}

void DeliveryServer::admin(const httplib::Request& request, httplib::Response& response,
                           const std::function<Json(const Json& body)>& operation) {
    if (!admitted(request, response)) return;
    Json body = Json::object();
    if (!request.body.empty()) {
        try {
            body = tamsel::platform::parseJson(request.body);
        } catch (const std::exception&) {
            send(response, 400, errorBody("invalid_json"));
            return;
        }
    }
    try {
        send(response, 200, operation(body));
    } catch (const AdminError& error) {
        send(response, error.status(), errorBody(error.code()));
    }
}

void DeliveryServer::routes() {
    using httplib::Request;
    using httplib::Response;
    const std::string receiver = kReceiver;

    server_->Post(receiver + "/worker-sessions", [this](const Request& req, Response& res) {
        Answer a = state_.openWorkerSession(req.matches[1], header(req, "Tamsel-Receiver-Refresh"),
                                            header(req, "Idempotency-Key"));
        stall("worker-sessions");
        send(res, a.status, a.body);
    });
    server_->Get(receiver + "/badge", [this](const Request& req, Response& res) {
        Answer a = state_.readBadge(req.matches[1], header(req, "Authorization"));
        stall("badge");
        send(res, a.status, a.body);
    });
    server_->Get(receiver + "/delivery-changes", [this](const Request& req, Response& res) {
        Answer a = state_.readChanges(req.matches[1], header(req, "Authorization"), param(req, "limit"),
                                      param(req, "cursor"));
        stall("delivery-changes");
        send(res, a.status, a.body);
    });
    server_->Post(receiver + "/delivery-acknowledgments", [this](const Request& req, Response& res) {
        Answer a = state_.acknowledge(req.matches[1], header(req, "Authorization"),
                                      header(req, "Idempotency-Key"), header(req, "Content-Type"), req.body);
        stall("delivery-acknowledgments");
        send(res, a.status, a.body);
    });

    server_->Post("/admin/receivers", [this](const Request& req, Response& res) {
        admin(req, res, [&](const Json& body) { return state_.registerReceiver(body); });
    });
    server_->Get("/admin/receivers/([^/]+)", [this](const Request& req, Response& res) {
        admin(req, res, [&](const Json&) { return state_.summary(req.matches[1]); });
    });
    server_->Post("/admin/receivers/([^/]+)/credential", [this](const Request& req, Response& res) {
        admin(req, res, [&](const Json& body) { return state_.rotateCredential(req.matches[1], body); });
    });
    server_->Post("/admin/receivers/([^/]+)/changes", [this](const Request& req, Response& res) {
        admin(req, res, [&](const Json& body) { return state_.queueChanges(req.matches[1], body); });
    });
    server_->Post("/admin/receivers/([^/]+)/changes/generate", [this](const Request& req, Response& res) {
        admin(req, res, [&](const Json& body) { return state_.generateChanges(req.matches[1], body); });
    });
    server_->Put("/admin/receivers/([^/]+)/push-subscription", [this](const Request& req, Response& res) {
        admin(req, res, [&](const Json& body) { return state_.setPushSubscription(req.matches[1], body); });
    });
    server_->Delete("/admin/receivers/([^/]+)/push-subscription", [this](const Request& req, Response& res) {
        admin(req, res, [&](const Json&) { return state_.removePushSubscription(req.matches[1]); });
    });
    server_->Get("/admin/receivers/([^/]+)/push-deliveries", [this](const Request& req, Response& res) {
        admin(req, res, [&](const Json&) { return state_.pushDeliveries(req.matches[1]); });
    });
    server_->Post("/admin/receivers/([^/]+)/badge", [this](const Request& req, Response& res) {
        admin(req, res, [&](const Json& body) { return state_.setBadge(req.matches[1], body); });
    });
    server_->Get("/admin/receivers/([^/]+)/acknowledgments", [this](const Request& req, Response& res) {
        admin(req, res, [&](const Json&) { return state_.acknowledgments(req.matches[1]); });
    });
    server_->Post("/admin/receivers/([^/]+)/expire-cursors", [this](const Request& req, Response& res) {
        admin(req, res, [&](const Json&) { return state_.expireCursors(req.matches[1]); });
    });
    server_->Post("/admin/receivers/([^/]+)/empty-pages", [this](const Request& req, Response& res) {
        admin(req, res, [&](const Json& body) { return state_.emptyPages(req.matches[1], body); });
    });
    server_->Post("/admin/receivers/([^/]+)/planned-values", [this](const Request& req, Response& res) {
        admin(req, res, [&](const Json& body) { return state_.planValues(req.matches[1], body); });
    });
    server_->Post("/admin/stall", [this](const Request& req, Response& res) {
        admin(req, res, [&](const Json& body) {
            auto ms = body.find("milliseconds");
            auto route = body.find("route");
            auto gather = body.find("gather");
            if (ms == body.end() || !ms->is_number_integer() || ms->get<long>() < 0 ||
                ms->get<long>() > 600000 || (route != body.end() && !route->is_string()) ||
                (gather != body.end() &&
                 (!gather->is_number_integer() || gather->get<long>() < 1 || gather->get<long>() > 100)) ||
                body.size() != 1u + (route != body.end()) + (gather != body.end()))
                throw AdminError(400, "invalid_request");
            setStall(ms->get<long>(), route == body.end() ? "" : route->get<std::string>(),
                     gather == body.end() ? 0 : gather->get<long>());
            return Json{{"milliseconds", *ms},
                        {"route", route == body.end() ? Json(nullptr) : *route},
                        {"gather", gather == body.end() ? Json(nullptr) : *gather}};
        });
    });
    // Raw bodies, so the benchmark can replay an answer of an exact size.
    server_->Put("/admin/replay/([A-Za-z0-9_.-]+)", [this](const Request& req, Response& res) {
        if (!admitted(req, res)) return;
        int status = 200;
        if (auto s = param(req, "status")) {
            try {
                status = std::stoi(*s);
            } catch (const std::exception&) {
                status = 0;
            }
            if (status < 100 || status > 599) return send(res, 400, errorBody("invalid_status"));
        }
        setReplay(req.matches[1], status, req.body);
        send(res, 200, Json{{"path", "/replay/" + std::string(req.matches[1])}, {"bytes", req.body.size()}});
    });
    server_->Get("/replay/([A-Za-z0-9_.-]+)", [this](const Request& req, Response& res) {
        std::pair<int, std::string> replay;
        {
            std::lock_guard lock(mutex_);
            auto it = replays_.find(req.matches[1]);
            if (it == replays_.end()) return send(res, 404, errorBody("not_found"));
            replay = it->second;
        }
        res.status = replay.first;
        res.set_content(std::move(replay.second), "application/json");
    });
    server_->Post("/admin/shutdown", [this](const Request& req, Response& res) {
        admin(req, res, [&](const Json&) {
            stop();
            return Json{{"stopping", true}};
        });
    });
}

}  // namespace tamsel::delivery
